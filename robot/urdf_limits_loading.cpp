// Filling UrdfLimits from the calibration table (JSON) and the URDF model.
#include "robot/urdf_limits.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QString>
#include <QStringList>

#include <pugixml.hpp>

#include <cmath>
#include <iostream>
#include <unordered_map>

namespace {

const char* const kEmbeddedCalibrationPath = ":/model/calibration.json";
const char* const kEmbeddedUrdfPaths[] = {":/model/kestro.urdf", ":/urdf/kestro.urdf"};

// Opens the first of the candidates that can be read; false when none can.
bool readFirstReadable(const QStringList& candidates, QByteArray* bytes)
{
    for (const QString& candidate : candidates) {
        // An empty name is simply "not given"; Qt would warn about it.
        if (candidate.isEmpty())
            continue;
        QFile file(candidate);
        if (file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            *bytes = file.readAll();
            return true;
        }
    }
    return false;
}

// A limit attribute as pugixml reads numbers, with the current value kept
// when the attribute is absent.
double limitAttribute(const pugi::xml_node& limit, const char* attribute, double current, const std::string& joint)
{
    const double value = limit.attribute(attribute).as_double(current);
    if (!std::isfinite(value)) {
        // "inf" or "nan" parse as numbers but would leave the joint without
        // a bound, so the servo could be driven anywhere.
        std::cerr << "UrdfLimits: ignoring non-finite " << attribute << " limit of joint " << joint << std::endl;
        return current;
    }
    return value;
}

} // namespace

bool UrdfLimits::init(const std::string& urdfPath, const std::string& calibrationPath)
{
    populateFallbackLimits();

    const bool calibrationLoaded = loadCalibrationJson(calibrationPath);
    if (!calibrationLoaded)
        std::cerr << "UrdfLimits: warning, using fallback calibration." << std::endl;

    QByteArray urdf;
    const QStringList urdfCandidates{QString::fromStdString(urdfPath), kEmbeddedUrdfPaths[0], kEmbeddedUrdfPaths[1]};
    if (!readFirstReadable(urdfCandidates, &urdf)) {
        std::cerr << "UrdfLimits: could not open URDF: " << urdfPath << std::endl;
        m_initialized = true;
        return calibrationLoaded;
    }
    const bool urdfApplied = loadUrdfData(urdf);
    m_initialized = true;
    return urdfApplied ? true : calibrationLoaded;
}

bool UrdfLimits::loadCalibrationJson(const std::string& path)
{
    QByteArray bytes;
    if (!readFirstReadable({QString::fromStdString(path), kEmbeddedCalibrationPath}, &bytes)) {
        std::cerr << "UrdfLimits: could not open calibration JSON: " << path << std::endl;
        return false;
    }
    return loadCalibrationJsonData(bytes, path);
}

bool UrdfLimits::loadCalibrationJsonData(const QByteArray& data, const std::string& sourceName)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (document.isNull() || !document.isObject()) {
        std::cerr << "UrdfLimits: JSON parse error in " << sourceName << ": " << error.errorString().toStdString()
                  << std::endl;
        return false;
    }

    const QJsonValue channelsValue = document.object().value("channels");
    const QJsonObject channels = channelsValue.toObject();
    if (!channelsValue.isObject() || channels.isEmpty()) {
        std::cerr << "UrdfLimits: missing 'channels' in " << sourceName << std::endl;
        return false;
    }

    // The member name decides the channel; anything outside "0".."16" and the
    // per-entry "channel" member are deliberately not looked at.
    for (int channel = 0; channel < kServoCount; ++channel) {
        const QString key = QString::number(channel);
        if (!channels.contains(key))
            continue;
        const QJsonObject entry = channels.value(key).toObject();
        const QJsonObject range = entry.value("urdf_limits").toObject();

        ChannelCalibration calibration;
        calibration.name = entry.value("name").toString().toStdString();
        calibration.channel = channel;
        calibration.center = entry.value("center").toInt(kDefaultCenterPwm);
        calibration.sign = entry.value("sign").toDouble(1.0);
        calibration.radPerPwm = entry.value("rad_per_pwm").toDouble(kPi / 180.0);
        calibration.lower = range.value("lower").toDouble(-kPi);
        calibration.upper = range.value("upper").toDouble(kPi);

        m_calibrations[channel] = calibration;
        m_limits[channel] = JointLimit{calibration.name, channel, calibration.lower, calibration.upper};
    }
    return true;
}

bool UrdfLimits::loadUrdfData(const QByteArray& data)
{
    pugi::xml_document document;
    const pugi::xml_parse_result parsed = document.load_buffer(data.constData(), static_cast<size_t>(data.size()));
    if (!parsed) {
        std::cerr << "UrdfLimits: XML parse failed: " << parsed.description() << std::endl;
        return false;
    }
    const pugi::xml_node robot = document.child("robot");
    if (!robot) {
        std::cerr << "UrdfLimits: missing <robot> tag in URDF." << std::endl;
        return false;
    }

    // Joint name to channel, in channel order so that a duplicated name ends
    // on the higher channel. Unnamed rows match nothing, not unnamed joints.
    std::unordered_map<std::string, int> channelByName;
    for (const auto& [channel, calibration] : m_calibrations) {
        if (!calibration.name.empty())
            channelByName[calibration.name] = channel;
    }

    for (const pugi::xml_node& joint : robot.children("joint")) {
        const std::string name = joint.attribute("name").as_string();
        const auto match = channelByName.find(name);
        const pugi::xml_node limit = joint.child("limit");
        if (match == channelByName.end() || !limit)
            continue;
        const int channel = match->second;
        JointLimit& jointLimit = m_limits[channel];
        const double lower = limitAttribute(limit, "lower", jointLimit.lower, name);
        const double upper = limitAttribute(limit, "upper", jointLimit.upper, name);
        jointLimit = JointLimit{name, channel, lower, upper};
        ChannelCalibration& calibration = m_calibrations[channel];
        calibration.lower = lower;
        calibration.upper = upper;
    }
    return true;
}
