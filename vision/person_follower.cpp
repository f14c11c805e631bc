#include "vision/person_follower.h"

#include "vision/pose_output_decoder.h"

#include <algorithm>
#include <cstddef>

namespace {

PersonFollower::Box boxAt(const float* table, int anchor)
{
    const auto at = [&](int row) {
        return table[static_cast<std::size_t>(row) * PoseOutputDecoder::kAnchorCount + static_cast<std::size_t>(anchor)];
    };
    return {at(0), at(1), at(2), at(3)};
}

} // namespace

float PersonFollower::overlap(const Box& a, const Box& b)
{
    const float left = std::max(a.cx - a.w / 2.0f, b.cx - b.w / 2.0f);
    const float right = std::min(a.cx + a.w / 2.0f, b.cx + b.w / 2.0f);
    const float top = std::max(a.cy - a.h / 2.0f, b.cy - b.h / 2.0f);
    const float bottom = std::min(a.cy + a.h / 2.0f, b.cy + b.h / 2.0f);
    const float shared = std::max(0.0f, right - left) * std::max(0.0f, bottom - top);
    const float joint = a.w * a.h + b.w * b.h - shared;
    // Written so that degenerate or NaN boxes overlap nothing.
    return joint > 0.0f ? shared / joint : 0.0f;
}

int PersonFollower::choose(const float* table, float personThreshold, const std::string& targetSelection)
{
    if (targetSelection != m_rule) {
        reset();
        m_rule = targetSelection;
    }
    if (m_following) {
        const float* confidence = table + static_cast<std::size_t>(PoseOutputDecoder::kConfidenceRow) * PoseOutputDecoder::kAnchorCount;
        int best = -1;
        float bestOverlap = kMinOverlap;
        for (int anchor = 0; anchor < PoseOutputDecoder::kAnchorCount; ++anchor) {
            if (!(confidence[anchor] >= personThreshold))
                continue;
            const float o = overlap(boxAt(table, anchor), m_box);
            if (o > bestOverlap || (best < 0 && o >= bestOverlap)) {
                bestOverlap = o;
                best = anchor;
            }
        }
        if (best >= 0) {
            m_box = boxAt(table, best);
            m_framesMissed = 0;
            return best;
        }
        if (++m_framesMissed < kFramesToLetGo)
            return -1;
        m_following = false;
    }
    const int anchor = PoseOutputDecoder::selectAnchor(table, personThreshold, targetSelection);
    if (anchor >= 0)
        follow(table, anchor);
    return anchor;
}

void PersonFollower::follow(const float* table, int anchor)
{
    m_following = true;
    m_box = boxAt(table, anchor);
    m_framesMissed = 0;
}

void PersonFollower::reset()
{
    m_following = false;
    m_framesMissed = 0;
}
