#pragma once

#include "robot/urdf_limits.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <initializer_list>
#include <string>

// Builds calibration tables in memory so that a test states the rows it
// depends on next to its expectations.
struct CalibrationRow
{
    int channel;
    int center;
    double sign;
    double radPerPwm;
    double lower;
    double upper;
    std::string name = {};
};

inline QByteArray calibrationJson(std::initializer_list<CalibrationRow> rows)
{
    QJsonObject channels;
    for (const CalibrationRow& row : rows) {
        QJsonObject entry;
        entry["name"] = QString::fromStdString(row.name.empty() ? "test_joint_" + std::to_string(row.channel) : row.name);
        entry["center"] = row.center;
        entry["sign"] = row.sign;
        entry["rad_per_pwm"] = row.radPerPwm;
        entry["urdf_limits"] = QJsonObject{{"lower", row.lower}, {"upper", row.upper}};
        channels[QString::number(row.channel)] = entry;
    }
    return QJsonDocument(QJsonObject{{"channels", channels}}).toJson();
}

inline void loadRows(UrdfLimits& limits, std::initializer_list<CalibrationRow> rows)
{
    limits.loadCalibrationJsonData(calibrationJson(rows), "test rows");
}
