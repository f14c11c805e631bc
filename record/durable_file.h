#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A file written front to back whose written bytes can be pushed to the disk
// itself, so that a crash or a power cut keeps everything up to the last
// sync. The platform part lives in durable_file_posix.cpp.
class DurableFile
{
public:
    DurableFile() = default;
    ~DurableFile();
    DurableFile(const DurableFile&) = delete;
    DurableFile& operator=(const DurableFile&) = delete;

    // Creates (or truncates) the file; false with lastError() on failure.
    bool open(const std::string& path);
    bool write(const void* data, std::size_t size);
    // Waits until the written data is on the disk.
    bool sync();
    bool close();

    bool isOpen() const { return m_handle >= 0; }
    const std::string& lastError() const { return m_lastError; }

private:
    int m_handle = -1;
    std::string m_path;
    std::string m_lastError;
};
