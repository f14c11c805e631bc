#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

// Real files in a fresh temporary folder, removed with the object.
class TempFiles
{
public:
    TempFiles() { EXPECT_TRUE(m_dir.isValid()); }

    std::string write(const QString& name, const QByteArray& bytes)
    {
        QFile file(m_dir.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        EXPECT_EQ(file.write(bytes), bytes.size());
        return file.fileName().toStdString();
    }

    // A path in the folder where nothing exists.
    std::string missing(const QString& name) const { return m_dir.filePath(name).toStdString(); }
    std::string folder() const { return m_dir.path().toStdString(); }

private:
    QTemporaryDir m_dir;
};

inline std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}
