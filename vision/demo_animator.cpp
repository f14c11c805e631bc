#include "vision/demo_animator.h"

#include <algorithm>
#include <cmath>
#include <tuple>

namespace {

constexpr double kPi = 3.14159265358979323846;
// Width of a cut-out's soft edge, in frame pixels: wide enough to hide the
// seam, narrow enough not to show a halo.
constexpr double kEdgeWidth = 1.5;
// The backdrop is painted a little beyond each cut-out, so that no sliver of
// the limb's own edge stays behind when it moves away.
constexpr double kBackdropMargin = 5.0;

// The face: nose, eyes and ears, keypoints 0 to 4.
constexpr int kFirstFacePoint = 0;
constexpr int kLastFacePoint = 4;
constexpr int kLeftShoulder = 5, kRightShoulder = 6, kLeftElbow = 7, kRightElbow = 8;
constexpr int kLeftWrist = 9, kRightWrist = 10, kLeftHip = 11, kRightHip = 12;

FigurePoint operator+(FigurePoint a, FigurePoint b)
{
    return {a.x + b.x, a.y + b.y};
}
FigurePoint operator-(FigurePoint a, FigurePoint b)
{
    return {a.x - b.x, a.y - b.y};
}
FigurePoint scaled(FigurePoint p, double factor)
{
    return {p.x * factor, p.y * factor};
}
double dot(FigurePoint a, FigurePoint b)
{
    return a.x * b.x + a.y * b.y;
}
double cross(FigurePoint a, FigurePoint b)
{
    return a.x * b.y - a.y * b.x;
}
// Turned by `angle` in picture coordinates (clockwise on screen, y down).
FigurePoint rotated(FigurePoint v, double angle)
{
    const double c = std::cos(angle);
    const double s = std::sin(angle);
    return {v.x * c - v.y * s, v.x * s + v.y * c};
}
// The signed angle that turns `from` onto `to`.
double signedAngle(FigurePoint from, FigurePoint to)
{
    return std::atan2(cross(from, to), dot(from, to));
}

// Opacity of a soft edge at signed distance d (negative inside).
double opacity(double d)
{
    return std::clamp(0.5 - d / kEdgeWidth, 0.0, 1.0);
}

// Bilinear sample of a BGR image at a real position, edges extended.
void sample(const cv::Mat& image, double x, double y, double out[3])
{
    x = std::clamp(x, 0.0, image.cols - 1.0);
    y = std::clamp(y, 0.0, image.rows - 1.0);
    const int x0 = std::min(static_cast<int>(x), image.cols - 2 < 0 ? 0 : image.cols - 2);
    const int y0 = std::min(static_cast<int>(y), image.rows - 2 < 0 ? 0 : image.rows - 2);
    const int x1 = std::min(x0 + 1, image.cols - 1);
    const int y1 = std::min(y0 + 1, image.rows - 1);
    const double fx = x - x0;
    const double fy = y - y0;
    const unsigned char* top = image.ptr(y0);
    const unsigned char* bottom = image.ptr(y1);
    for (int c = 0; c < 3; ++c) {
        const double upper = top[3 * x0 + c] * (1.0 - fx) + top[3 * x1 + c] * fx;
        const double lower = bottom[3 * x0 + c] * (1.0 - fx) + bottom[3 * x1 + c] * fx;
        out[c] = upper * (1.0 - fy) + lower * fy;
    }
}

void blend(unsigned char* pixel, const double colour[3], double alpha)
{
    for (int c = 0; c < 3; ++c)
        pixel[c] = static_cast<unsigned char>(std::lround(pixel[c] * (1.0 - alpha) + colour[c] * alpha));
}

} // namespace

double DemoAnimator::Outline::distance(const FigurePoint& p) const
{
    if (ellipse) {
        const double k = std::hypot((p.x - centre.x) / radiusX, (p.y - centre.y) / radiusY);
        return (k - 1.0) * std::min(radiusX, radiusY);
    }
    double nearest = 1e30;
    for (const Capsule& capsule : capsules) {
        const FigurePoint axis = capsule.to - capsule.from;
        const double axisLength2 = std::max(dot(axis, axis), 1e-12);
        const double t = std::clamp(dot(p - capsule.from, axis) / axisLength2, 0.0, 1.0);
        const double radius = capsule.fromRadius + t * (capsule.toRadius - capsule.fromRadius);
        const FigurePoint offset = p - (capsule.from + scaled(axis, t));
        nearest = std::min(nearest, std::sqrt(dot(offset, offset)) - radius);
    }
    return nearest;
}

std::array<double, 4> DemoAnimator::Outline::bounds() const
{
    if (ellipse)
        return {centre.x - radiusX, centre.y - radiusY, centre.x + radiusX, centre.y + radiusY};
    std::array<double, 4> box{1e30, 1e30, -1e30, -1e30};
    for (const Capsule& capsule : capsules) {
        const double r = std::max(capsule.fromRadius, capsule.toRadius);
        for (const FigurePoint& end : {capsule.from, capsule.to}) {
            box[0] = std::min(box[0], end.x - r);
            box[1] = std::min(box[1], end.y - r);
            box[2] = std::max(box[2], end.x + r);
            box[3] = std::max(box[3], end.y + r);
        }
    }
    return box;
}

FigurePoint DemoAnimator::Placement::apply(const FigurePoint& p) const
{
    return placed + rotated(p - pivot, angle);
}

FigurePoint DemoAnimator::Placement::invert(const FigurePoint& q) const
{
    return pivot + rotated(q - placed, -angle);
}

DemoAnimator::DemoAnimator(const DemoPhotograph& photograph, cv::Size bounds)
{
    const double scale = std::min(static_cast<double>(bounds.width) / photograph.image.cols,
                                  static_cast<double>(bounds.height) / photograph.image.rows);
    m_frameSize = cv::Size(std::max(1, static_cast<int>(std::lround(photograph.image.cols * scale))),
                           std::max(1, static_cast<int>(std::lround(photograph.image.rows * scale))));
    cv::resize(photograph.image, m_photo, m_frameSize, 0.0, 0.0, cv::INTER_LINEAR);
    // Pixel centres, not corners, keep their places under the scaling.
    const auto place = [&](FigurePoint p) {
        return FigurePoint{(p.x + 0.5) * m_frameSize.width / photograph.image.cols - 0.5,
                           (p.y + 0.5) * m_frameSize.height / photograph.image.rows - 0.5};
    };
    for (size_t k = 0; k < m_rest.size(); ++k)
        m_rest[k] = place(photograph.keypoints[k]);

    const auto scaleArm = [&](DemoPhotograph::Arm arm) {
        arm.shoulderRadius *= scale;
        arm.elbowRadius *= scale;
        arm.wristRadius *= scale;
        arm.handRadius *= scale;
        arm.handTip = place(arm.handTip);
        arm.sleeveTip = place(arm.sleeveTip);
        arm.sleeveRadius *= scale;
        return arm;
    };
    m_leftArm = makeArm(scaleArm(photograph.leftArm), kLeftShoulder, kLeftElbow, kLeftWrist, kLeftHip);
    m_rightArm = makeArm(scaleArm(photograph.rightArm), kRightShoulder, kRightElbow, kRightWrist, kRightHip);
    m_head.outline.ellipse = true;
    m_head.outline.centre = place(photograph.headCentre);
    m_head.outline.radiusX = photograph.headRadiusX * scale;
    m_head.outline.radiusY = photograph.headRadiusY * scale;
    m_neck = place(photograph.neck);

    m_backdrop = m_photo.clone();
    paintBackdrop();
}

DemoAnimator::ArmCutouts DemoAnimator::makeArm(const DemoPhotograph::Arm& arm, int shoulder, int elbow, int wrist,
                                             int hip) const
{
    ArmCutouts cutouts{shoulder, elbow, wrist, hip, {}, {}};
    const FigurePoint s = m_rest[static_cast<size_t>(shoulder)];
    const FigurePoint e = m_rest[static_cast<size_t>(elbow)];
    const FigurePoint w = m_rest[static_cast<size_t>(wrist)];
    cutouts.upper.outline.capsules = {{s, e, arm.shoulderRadius, arm.elbowRadius},
                                    {s, arm.sleeveTip, arm.shoulderRadius, arm.sleeveRadius}};
    cutouts.lower.outline.capsules = {{e, w, arm.elbowRadius, arm.wristRadius},
                                    {w, arm.handTip, arm.wristRadius, arm.handRadius}};
    return cutouts;
}

double DemoAnimator::raiseSense(const ArmCutouts& arm) const
{
    const FigurePoint s = m_rest[static_cast<size_t>(arm.shoulder)];
    const FigurePoint torso = m_rest[static_cast<size_t>(arm.hip)] - s;
    const FigurePoint upper = m_rest[static_cast<size_t>(arm.elbow)] - s;
    return cross(torso, upper) >= 0.0 ? 1.0 : -1.0;
}

double DemoAnimator::restShoulderAngle(const ArmCutouts& arm) const
{
    const FigurePoint s = m_rest[static_cast<size_t>(arm.shoulder)];
    return std::abs(signedAngle(m_rest[static_cast<size_t>(arm.hip)] - s, m_rest[static_cast<size_t>(arm.elbow)] - s));
}

double DemoAnimator::restSignedBend(const ArmCutouts& arm) const
{
    const FigurePoint e = m_rest[static_cast<size_t>(arm.elbow)];
    return signedAngle(e - m_rest[static_cast<size_t>(arm.shoulder)], m_rest[static_cast<size_t>(arm.wrist)] - e);
}

DemoJointAngles DemoAnimator::restAngles() const
{
    DemoJointAngles angles;
    angles.leftShoulder = restShoulderAngle(m_leftArm);
    angles.rightShoulder = restShoulderAngle(m_rightArm);
    angles.leftElbow = restSignedBend(m_leftArm) * raiseSense(m_leftArm);
    angles.rightElbow = restSignedBend(m_rightArm) * raiseSense(m_rightArm);
    return angles;
}

DemoAnimator::ArmPose DemoAnimator::armPose(const ArmCutouts& arm, double shoulderAngle, double elbowBend) const
{
    // The upper arm turns about the shoulder by the change of its angle to
    // the torso; the forearm follows it and turns about the moved elbow, so
    // that its angle to the upper arm becomes the bend, folding the same way
    // the arm rises.
    const double sense = raiseSense(arm);
    const FigurePoint s = m_rest[static_cast<size_t>(arm.shoulder)];
    const FigurePoint e = m_rest[static_cast<size_t>(arm.elbow)];
    ArmPose pose;
    pose.upper = {s, s, sense * (shoulderAngle - restShoulderAngle(arm))};
    pose.lower = {e, pose.upper.apply(e), pose.upper.angle + sense * elbowBend - restSignedBend(arm)};
    return pose;
}

DemoAnimator::Placement DemoAnimator::headPlacement(double tilt) const
{
    return {m_neck, m_neck, tilt};
}

FigureKeypoints DemoAnimator::keypointsAt(const DemoJointAngles& angles) const
{
    FigureKeypoints points = m_rest;
    const Placement head = headPlacement(angles.headTilt);
    for (int k = kFirstFacePoint; k <= kLastFacePoint; ++k)
        points[static_cast<size_t>(k)] = head.apply(m_rest[static_cast<size_t>(k)]);
    for (const auto& [arm, shoulder, elbow] :
         {std::make_tuple(&m_leftArm, angles.leftShoulder, angles.leftElbow),
          std::make_tuple(&m_rightArm, angles.rightShoulder, angles.rightElbow)}) {
        const ArmPose pose = armPose(*arm, shoulder, elbow);
        points[static_cast<size_t>(arm->elbow)] = pose.upper.apply(m_rest[static_cast<size_t>(arm->elbow)]);
        points[static_cast<size_t>(arm->wrist)] = pose.lower.apply(m_rest[static_cast<size_t>(arm->wrist)]);
    }
    return points;
}

void DemoAnimator::render(const DemoJointAngles& angles, cv::Mat& frame) const
{
    m_backdrop.copyTo(frame);
    // The head first: a raised arm passes in front of it.
    paintCutout(m_head, headPlacement(angles.headTilt), frame);
    for (const auto& [arm, shoulder, elbow] :
         {std::make_tuple(&m_leftArm, angles.leftShoulder, angles.leftElbow),
          std::make_tuple(&m_rightArm, angles.rightShoulder, angles.rightElbow)}) {
        const ArmPose pose = armPose(*arm, shoulder, elbow);
        paintCutout(arm->upper, pose.upper, frame);
        paintCutout(arm->lower, pose.lower, frame);
    }
}

double DemoAnimator::backdropOpacity(const FigurePoint& p) const
{
    double alpha = 0.0;
    for (const Cutout* cutout : {&m_head, &m_leftArm.upper, &m_leftArm.lower, &m_rightArm.upper, &m_rightArm.lower})
        alpha = std::max(alpha, opacity(cutout->outline.distance(p) - kBackdropMargin));
    return alpha;
}

void DemoAnimator::paintBackdrop()
{
    // The stands behind the player are out of focus: a smooth fill that
    // grows inwards from the colours around each cut-out looks like more of
    // them. Pull-push: average the known pixels into ever coarser levels,
    // then fill each level's holes from the level above.
    struct Level
    {
        int width, height;
        std::vector<double> colour; // 3 per pixel, premultiplied by weight
        std::vector<double> weight;
    };
    std::vector<Level> levels;
    std::vector<double> alpha(static_cast<size_t>(m_frameSize.width) * m_frameSize.height);
    Level base{m_frameSize.width, m_frameSize.height, std::vector<double>(alpha.size() * 3), std::vector<double>(alpha.size())};
    for (int y = 0; y < base.height; ++y) {
        const unsigned char* row = m_photo.ptr(y);
        for (int x = 0; x < base.width; ++x) {
            const size_t i = static_cast<size_t>(y) * base.width + x;
            alpha[i] = backdropOpacity({static_cast<double>(x), static_cast<double>(y)});
            base.weight[i] = alpha[i] > 0.0 ? 0.0 : 1.0;
            for (int c = 0; c < 3; ++c)
                base.colour[3 * i + c] = row[3 * x + c] * base.weight[i];
        }
    }
    levels.push_back(std::move(base));
    while (levels.back().width > 1 || levels.back().height > 1) {
        const Level& fine = levels.back();
        Level coarse{(fine.width + 1) / 2, (fine.height + 1) / 2, {}, {}};
        coarse.colour.assign(static_cast<size_t>(coarse.width) * coarse.height * 3, 0.0);
        coarse.weight.assign(static_cast<size_t>(coarse.width) * coarse.height, 0.0);
        for (int y = 0; y < fine.height; ++y) {
            for (int x = 0; x < fine.width; ++x) {
                const size_t from = static_cast<size_t>(y) * fine.width + x;
                const size_t to = static_cast<size_t>(y / 2) * coarse.width + x / 2;
                coarse.weight[to] += fine.weight[from];
                for (int c = 0; c < 3; ++c)
                    coarse.colour[3 * to + c] += fine.colour[3 * from + c];
            }
        }
        // Kept as averages with a weight of at most one.
        for (size_t i = 0; i < coarse.weight.size(); ++i) {
            if (coarse.weight[i] > 1.0) {
                for (int c = 0; c < 3; ++c)
                    coarse.colour[3 * i + c] /= coarse.weight[i];
                coarse.weight[i] = 1.0;
            }
        }
        levels.push_back(std::move(coarse));
    }
    for (size_t k = levels.size() - 1; k-- > 0;) {
        Level& fine = levels[k];
        const Level& coarse = levels[k + 1];
        for (int y = 0; y < fine.height; ++y) {
            for (int x = 0; x < fine.width; ++x) {
                const size_t i = static_cast<size_t>(y) * fine.width + x;
                const double w = fine.weight[i];
                if (w >= 1.0)
                    continue;
                // Bilinear from the coarser level, whose holes are filled.
                const double cx = std::clamp((x + 0.5) / 2.0 - 0.5, 0.0, coarse.width - 1.0);
                const double cy = std::clamp((y + 0.5) / 2.0 - 0.5, 0.0, coarse.height - 1.0);
                const int x0 = static_cast<int>(cx), y0 = static_cast<int>(cy);
                const int x1 = std::min(x0 + 1, coarse.width - 1), y1 = std::min(y0 + 1, coarse.height - 1);
                const double fx = cx - x0, fy = cy - y0;
                for (int c = 0; c < 3; ++c) {
                    const auto at = [&](int px, int py) {
                        return coarse.colour[3 * (static_cast<size_t>(py) * coarse.width + px) + c];
                    };
                    const double up = (at(x0, y0) * (1 - fx) + at(x1, y0) * fx) * (1 - fy) +
                                      (at(x0, y1) * (1 - fx) + at(x1, y1) * fx) * fy;
                    // Premultiplied: the known share plus the rest from above.
                    fine.colour[3 * i + c] = fine.colour[3 * i + c] + (1.0 - w) * up;
                }
                fine.weight[i] = 1.0;
            }
        }
    }
    const Level& filled = levels.front();
    for (int y = 0; y < filled.height; ++y) {
        unsigned char* row = m_backdrop.ptr(y);
        for (int x = 0; x < filled.width; ++x) {
            const size_t i = static_cast<size_t>(y) * filled.width + x;
            if (alpha[i] <= 0.0)
                continue;
            const double colour[3] = {filled.colour[3 * i], filled.colour[3 * i + 1], filled.colour[3 * i + 2]};
            blend(row + 3 * x, colour, alpha[i]);
        }
    }
}

void DemoAnimator::paintCutout(const Cutout& cutout, const Placement& placement, cv::Mat& frame) const
{
    // The cut-out's box, turned into the frame, bounds the pixels to visit.
    const std::array<double, 4> box = cutout.outline.bounds();
    double left = 1e30, top = 1e30, right = -1e30, bottom = -1e30;
    for (const FigurePoint& corner : {FigurePoint{box[0], box[1]}, FigurePoint{box[2], box[1]},
                                      FigurePoint{box[0], box[3]}, FigurePoint{box[2], box[3]}}) {
        const FigurePoint q = placement.apply(corner);
        left = std::min(left, q.x);
        top = std::min(top, q.y);
        right = std::max(right, q.x);
        bottom = std::max(bottom, q.y);
    }
    const int x0 = std::max(0, static_cast<int>(std::floor(left - kEdgeWidth)));
    const int y0 = std::max(0, static_cast<int>(std::floor(top - kEdgeWidth)));
    const int x1 = std::min(frame.cols - 1, static_cast<int>(std::ceil(right + kEdgeWidth)));
    const int y1 = std::min(frame.rows - 1, static_cast<int>(std::ceil(bottom + kEdgeWidth)));
    // The inverse turn, once for the cut-out rather than once a pixel.
    const double c = std::cos(-placement.angle);
    const double s = std::sin(-placement.angle);
    double colour[3];
    for (int y = y0; y <= y1; ++y) {
        unsigned char* row = frame.ptr(y);
        const double dy = y - placement.placed.y;
        for (int x = x0; x <= x1; ++x) {
            const double dx = x - placement.placed.x;
            const FigurePoint p{placement.pivot.x + dx * c - dy * s, placement.pivot.y + dx * s + dy * c};
            const double alpha = opacity(cutout.outline.distance(p));
            if (alpha <= 0.0)
                continue;
            sample(m_photo, p.x, p.y, colour);
            blend(row + 3 * x, colour, alpha);
        }
    }
}
