// The embedded robot description must be a model that robotics tools open
// without complaint, and match the dashboard's 3D view and calibration.
#include "robot/joint_set.h"

#include "tests/robot/embedded_resources.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <pugixml.hpp>

#include <array>
#include <cmath>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Vec3 = std::array<double, 3>;

QByteArray resource(const char* path)
{
    initEmbeddedResources();
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path;
    return file.readAll();
}

Vec3 parseVec3(const char* text)
{
    Vec3 v{};
    std::istringstream in(text);
    in >> v[0] >> v[1] >> v[2];
    EXPECT_FALSE(in.fail()) << "not three numbers: '" << text << "'";
    return v;
}

void expectVec3(const Vec3& actual, const Vec3& expected)
{
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(actual[i], expected[i], 1e-9) << "component " << i;
}

class EmbeddedModel : public testing::Test
{
protected:
    void SetUp() override
    {
        m_bytes = resource(":/model/kestro.urdf");
        const pugi::xml_parse_result parsed = m_document.load_buffer(m_bytes.constData(), m_bytes.size());
        ASSERT_TRUE(parsed) << parsed.description() << " at offset " << parsed.offset;
        m_robot = m_document.child("robot");
        ASSERT_TRUE(m_robot);
        for (const pugi::xml_node& link : m_robot.children("link"))
            m_links[link.attribute("name").as_string()] = link;
        for (const pugi::xml_node& joint : m_robot.children("joint"))
            m_joints[joint.attribute("name").as_string()] = joint;
    }

    pugi::xml_node joint(const std::string& name)
    {
        const auto it = m_joints.find(name);
        EXPECT_NE(it, m_joints.end()) << name;
        return it == m_joints.end() ? pugi::xml_node() : it->second;
    }

    QByteArray m_bytes;
    pugi::xml_document m_document;
    pugi::xml_node m_robot;
    std::map<std::string, pugi::xml_node> m_links;
    std::map<std::string, pugi::xml_node> m_joints;
};

struct JointRow
{
    const char* name;
    double lower, upper;
    const char* parent;
    Vec3 origin;
    Vec3 axis;
};

// Joint limits of the calibration table; origins and axes of the 3D view.
const JointRow kJointRows[kServoCount] = {
    {"left_ankle_roll_joint", -1.3963, 0.4363, "left_ankle_link", {0, 0, -0.016}, {1, 0, 0}},
    {"left_ankle_pitch_joint", -0.7854, 1.5708, "left_shin_link", {0, 0, -0.048}, {0, 1, 0}},
    {"left_knee_pitch_joint", -0.6981, 1.5708, "left_thigh_link", {0, 0, -0.048}, {0, 1, 0}},
    {"left_hip_pitch_joint", -0.6981, 1.5708, "left_hip_link", {0, 0, -0.018}, {0, 1, 0}},
    {"left_hip_roll_joint", -0.3491, 1.6057, "base_link", {0, 0.028, -0.042}, {1, 0, 0}},
    {"left_shoulder_pitch_joint", -1.8117, 1.3055, "base_link", {0, 0.048, 0.028}, {0, 1, 0}},
    {"left_shoulder_roll_joint", 0.0, 4.7298, "left_shoulder_link", {0, 0.018, 0}, {1, 0, 0}},
    {"left_elbow_joint", -1.309, 1.4835, "left_upper_arm_link", {0, 0, -0.044}, {1, 0, 0}},
    {"right_elbow_joint", -1.4835, 0.9599, "right_upper_arm_link", {0, 0, -0.044}, {1, 0, 0}},
    {"right_shoulder_roll_joint", -4.3284, 0.0, "right_shoulder_link", {0, -0.018, 0}, {1, 0, 0}},
    {"right_shoulder_pitch_joint", -2.4906, 2.0054, "base_link", {0, -0.048, 0.028}, {0, 1, 0}},
    {"right_hip_roll_joint", -1.7453, 0.3491, "base_link", {0, -0.028, -0.042}, {1, 0, 0}},
    {"right_hip_pitch_joint", -0.6981, 1.5708, "right_hip_link", {0, 0, -0.018}, {0, 1, 0}},
    {"right_knee_pitch_joint", -0.6981, 1.5708, "right_thigh_link", {0, 0, -0.048}, {0, 1, 0}},
    {"right_ankle_pitch_joint", -0.8727, 1.5708, "right_shin_link", {0, 0, -0.048}, {0, 1, 0}},
    {"right_ankle_roll_joint", -0.4363, 1.2217, "right_ankle_link", {0, 0, -0.016}, {1, 0, 0}},
    {"head_yaw_joint", -0.9756, 0.9233, "base_link", {0, 0, 0.046}, {0, 0, 1}},
};

} // namespace

// The tree itself (links, parents, one root) is check_urdf's job, run by
// the suite; these are the physical plausibility checks it does not make.
TEST_F(EmbeddedModel, LinksAndJointsArePhysicallyPlausible)
{
    EXPECT_STREQ(m_robot.attribute("name").as_string(), "kestro");
    std::set<std::string> materials;
    for (const pugi::xml_node& material : m_robot.children("material"))
        materials.insert(material.attribute("name").as_string());

    size_t jointCount = 0;
    for (const pugi::xml_node& j : m_robot.children("joint")) {
        ++jointCount;
        SCOPED_TRACE(j.attribute("name").as_string());
        const std::string type = j.attribute("type").as_string();
        EXPECT_TRUE(type == "revolute" || type == "fixed") << type;
        if (type == "revolute") {
            const Vec3 axis = parseVec3(j.child("axis").attribute("xyz").as_string());
            EXPECT_NEAR(std::hypot(axis[0], axis[1], axis[2]), 1.0, 1e-9);
            const pugi::xml_node limit = j.child("limit");
            EXPECT_GT(limit.attribute("effort").as_double(), 0.0);
            EXPECT_GT(limit.attribute("velocity").as_double(), 0.0);
        }
    }
    EXPECT_EQ(m_joints.size(), jointCount) << "joint names must be unique";

    for (const auto& [name, link] : m_links) {
        SCOPED_TRACE(name);
        if (name == "base_footprint") {
            // Tree solvers refuse a root link with inertia.
            EXPECT_FALSE(link.child("inertial"));
            continue;
        }
        const pugi::xml_node inertial = link.child("inertial");
        EXPECT_GT(inertial.child("mass").attribute("value").as_double(), 0.0);
        const pugi::xml_node inertia = inertial.child("inertia");
        const double ixx = inertia.attribute("ixx").as_double();
        const double iyy = inertia.attribute("iyy").as_double();
        const double izz = inertia.attribute("izz").as_double();
        EXPECT_GT(ixx, 0.0);
        EXPECT_GT(iyy, 0.0);
        EXPECT_GT(izz, 0.0);
        // A physical body satisfies the triangle inequality of its moments.
        EXPECT_GE(ixx + iyy, izz);
        EXPECT_GE(iyy + izz, ixx);
        EXPECT_GE(ixx + izz, iyy);
        EXPECT_TRUE(link.child("collision")) << "no collision";
        EXPECT_TRUE(link.child("visual")) << "no visual";
        for (const pugi::xml_node& visual : link.children("visual")) {
            const Vec3 size = parseVec3(visual.child("geometry").child("box").attribute("size").as_string());
            EXPECT_GT(size[0] * size[1] * size[2], 0.0);
            EXPECT_TRUE(materials.count(visual.child("material").attribute("name").as_string()));
        }
    }
}

TEST_F(EmbeddedModel, ServoJointsMatchTheCalibrationAndTheView)
{
    size_t revolute = 0;
    for (const auto& [name, j] : m_joints)
        revolute += std::string(j.attribute("type").as_string()) == "revolute" ? 1 : 0;
    EXPECT_EQ(revolute, 17u);
    for (const JointRow& row : kJointRows) {
        SCOPED_TRACE(row.name);
        const pugi::xml_node j = joint(row.name);
        ASSERT_TRUE(j);
        EXPECT_STREQ(j.attribute("type").as_string(), "revolute");
        EXPECT_STREQ(j.child("parent").attribute("link").as_string(), row.parent);
        EXPECT_EQ(j.child("limit").attribute("lower").as_double(), row.lower);
        EXPECT_EQ(j.child("limit").attribute("upper").as_double(), row.upper);
        expectVec3(parseVec3(j.child("origin").attribute("xyz").as_string()), row.origin);
        expectVec3(parseVec3(j.child("axis").attribute("xyz").as_string()), row.axis);
    }
}

TEST_F(EmbeddedModel, ColoursAndBoxesMatchTheView)
{
    const std::map<std::string, Vec3> colours = {
        {"armor_red", {0.84, 0.23, 0.18}}, {"chest_gold", {0.86, 0.68, 0.48}}, {"servo_black", {0.16, 0.17, 0.20}},
        {"reactor_cyan", {0.18, 0.82, 1.0}}, {"lens_dark", {0.08, 0.09, 0.11}},
    };
    for (const pugi::xml_node& material : m_robot.children("material")) {
        const std::string name = material.attribute("name").as_string();
        SCOPED_TRACE(name);
        ASSERT_TRUE(colours.count(name));
        const Vec3 rgb = parseVec3(material.child("color").attribute("rgba").as_string());
        expectVec3(rgb, colours.at(name));
    }

    struct Box { const char* link; Vec3 size; Vec3 offset; const char* material; };
    const Box boxes[] = {
        {"base_link", {0.055, 0.076, 0.08}, {0, 0, 0}, "armor_red"},
        {"head_link", {0.038, 0.04, 0.036}, {0, 0, 0.02}, "armor_red"},
        {"left_shoulder_link", {0.024, 0.018, 0.024}, {0, 0.008, 0}, "servo_black"},
        {"right_shoulder_link", {0.024, 0.018, 0.024}, {0, -0.008, 0}, "servo_black"},
        {"left_upper_arm_link", {0.024, 0.024, 0.044}, {0, 0, -0.022}, "armor_red"},
        {"right_forearm_link", {0.022, 0.022, 0.044}, {0, 0, -0.022}, "armor_red"},
        {"left_hip_link", {0.028, 0.026, 0.02}, {0, 0, -0.009}, "servo_black"},
        {"right_thigh_link", {0.026, 0.028, 0.048}, {0, 0, -0.024}, "servo_black"},
        {"left_shin_link", {0.026, 0.028, 0.048}, {0, 0, -0.024}, "armor_red"},
        {"right_ankle_link", {0.028, 0.026, 0.018}, {0, 0, -0.008}, "servo_black"},
        {"left_foot_link", {0.076, 0.048, 0.008}, {0.01, 0, -0.004}, "armor_red"},
    };
    for (const Box& box : boxes) {
        SCOPED_TRACE(box.link);
        ASSERT_TRUE(m_links.count(box.link));
        const pugi::xml_node visual = m_links[box.link].child("visual");
        expectVec3(parseVec3(visual.child("geometry").child("box").attribute("size").as_string()), box.size);
        expectVec3(parseVec3(visual.child("origin").attribute("xyz").as_string()), box.offset);
        EXPECT_STREQ(visual.child("material").attribute("name").as_string(), box.material);
    }

    // In the zero pose the soles lie 0.18 below the torso centre, the level
    // at which the view draws its floor grid.
    for (const char* foot : {"left_foot_link", "right_foot_link"}) {
        SCOPED_TRACE(foot);
        double z = 0.0;
        std::string link = foot;
        while (link != "base_link") {
            pugi::xml_node parentJoint;
            for (const auto& [name, j] : m_joints) {
                if (link == j.child("child").attribute("link").as_string())
                    parentJoint = j;
            }
            ASSERT_TRUE(parentJoint);
            z += parseVec3(parentJoint.child("origin").attribute("xyz").as_string())[2];
            link = parentJoint.child("parent").attribute("link").as_string();
        }
        const pugi::xml_node visual = m_links[foot].child("visual");
        const double bottom = parseVec3(visual.child("origin").attribute("xyz").as_string())[2] -
                              parseVec3(visual.child("geometry").child("box").attribute("size").as_string())[2] / 2;
        EXPECT_NEAR(z + bottom, -0.18, 1e-9);
    }
}

TEST(EmbeddedResources, ModelIsServedUnderBothNames)
{
    const QByteArray model = resource(":/model/kestro.urdf");
    EXPECT_FALSE(model.isEmpty());
    EXPECT_EQ(resource(":/urdf/kestro.urdf"), model);
}

TEST(EmbeddedResources, CalibrationTableCarriesItsDescriptiveMembers)
{
    QJsonParseError error{};
    const QJsonObject table = QJsonDocument::fromJson(resource(":/model/calibration.json"), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    EXPECT_EQ(table.value("version").toString(), "1.0.0");
    EXPECT_EQ(table.value("robot").toString(), "kestro");
    EXPECT_EQ(table.value("total_servos").toInt(), 17);

    struct Meta { const char* group; const char* label; };
    const Meta meta[kServoCount] = {
        {"left_leg", "Ankle Roll"}, {"left_leg", "Ankle Pitch"}, {"left_leg", "Knee Pitch"},
        {"left_leg", "Hip Pitch"}, {"left_leg", "Hip Roll"}, {"left_arm", "Shoulder Pitch"},
        {"left_arm", "Shoulder Roll"}, {"left_arm", "Elbow"}, {"right_arm", "Elbow"},
        {"right_arm", "Shoulder Roll"}, {"right_arm", "Shoulder Pitch"}, {"right_leg", "Hip Roll"},
        {"right_leg", "Hip Pitch"}, {"right_leg", "Knee Pitch"}, {"right_leg", "Ankle Pitch"},
        {"right_leg", "Ankle Roll"}, {"head", "Head Yaw"},
    };
    const QJsonObject channels = table.value("channels").toObject();
    EXPECT_EQ(channels.size(), 17);
    for (int channel = 0; channel < kServoCount; ++channel) {
        SCOPED_TRACE(channel);
        const QJsonObject entry = channels.value(QString::number(channel)).toObject();
        EXPECT_EQ(entry.value("channel").toInt(-1), channel);
        EXPECT_EQ(entry.value("group").toString(), meta[channel].group);
        EXPECT_EQ(entry.value("label").toString(), meta[channel].label);
        EXPECT_NEAR(entry.value("deg_per_pwm").toDouble(), entry.value("rad_per_pwm").toDouble() * 180 / kPi, 1e-6);
        EXPECT_EQ(entry.value("pwm_range").toArray().size(), 2);
        EXPECT_EQ(entry.value("degree_range").toArray().size(), 2);
        EXPECT_TRUE(entry.value("baseline_trim").isDouble());
        EXPECT_TRUE(entry.value("recommended_trim").isDouble());
        EXPECT_FALSE(entry.value("description").toString().isEmpty());
    }
    const QJsonObject trims = table.value("trims").toObject();
    EXPECT_EQ(trims.size(), 20);
    for (const QString& key : trims.keys()) {
        SCOPED_TRACE(key.toStdString());
        const QJsonObject trim = trims.value(key).toObject();
        EXPECT_EQ(trim.value("id").toInt(-1), key.toInt());
        EXPECT_FALSE(trim.value("name").toString().isEmpty());
        EXPECT_FALSE(trim.value("category").toString().isEmpty());
        EXPECT_EQ(trim.value("min").toInt(), -125);
        EXPECT_EQ(trim.value("max").toInt(), 125);
        EXPECT_EQ(trim.value("default").toInt(-1), 0);
    }
}
