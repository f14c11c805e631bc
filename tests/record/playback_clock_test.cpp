// The playback time line: which picture a position shows, and how play,
// pause, seek and the end of the recording move it. The clock is stepped
// by hand, so every expectation is exact.
#include "record/playback_clock.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace {

constexpr std::uint64_t kBegin = 1'700'000'000'000'000'000ull;
constexpr std::int64_t kMs = 1'000'000;

struct SteppedClock
{
    std::int64_t nowNs = 5 * kMs;
    PlaybackClock::TimeSource source()
    {
        return [this] { return nowNs; };
    }
};

// Pictures 100 ms apart from 20 ms into a one-second recording.
std::vector<std::uint64_t> frameTimes()
{
    std::vector<std::uint64_t> times;
    for (int i = 0; i < 10; ++i)
        times.push_back(kBegin + static_cast<std::uint64_t>((20 + 100 * i) * kMs));
    return times;
}

} // namespace

TEST(PlaybackClock, ShowsTheLastFrameAtOrBeforeAPosition)
{
    SteppedClock time;
    const PlaybackClock clock(kBegin, kBegin + 1000 * kMs, frameTimes(), time.source());
    const struct
    {
        std::int64_t positionNs;
        int frame;
    } cases[] = {
        {-1, -1},        {0, -1},          {20 * kMs - 1, -1}, {20 * kMs, 0},       {119 * kMs, 0},
        {120 * kMs, 1},  {555 * kMs, 5},   {920 * kMs, 9},     {1000 * kMs, 9},     {5000 * kMs, 9},
    };
    for (const auto& c : cases)
        EXPECT_EQ(clock.frameIndexAt(c.positionNs), c.frame) << c.positionNs;
    EXPECT_EQ(clock.frameOffsetNs(3), 320 * kMs);
}

TEST(PlaybackClock, PlaysPausesSeeksAndPausesAtTheEnd)
{
    SteppedClock time;
    PlaybackClock clock(kBegin, kBegin + 1000 * kMs, frameTimes(), time.source());
    EXPECT_FALSE(clock.isPlaying());
    time.nowNs += 300 * kMs;
    EXPECT_EQ(clock.positionNs(), 0); // paused until asked to play

    clock.play();
    time.nowNs += 250 * kMs;
    EXPECT_EQ(clock.positionNs(), 250 * kMs);
    EXPECT_EQ(clock.currentFrameIndex(), 2);

    clock.pause();
    time.nowNs += 400 * kMs;
    EXPECT_EQ(clock.positionNs(), 250 * kMs);

    // A seek keeps the state it finds: paused stays paused...
    clock.seek(700 * kMs);
    time.nowNs += 100 * kMs;
    EXPECT_EQ(clock.positionNs(), 700 * kMs);
    // ...and playing goes on from the new place.
    clock.play();
    clock.seek(100 * kMs);
    time.nowNs += 50 * kMs;
    EXPECT_EQ(clock.positionNs(), 150 * kMs);
    clock.seek(-30 * kMs);
    EXPECT_EQ(clock.positionNs(), 0);

    // The end pauses there: nothing loops back to the start by itself.
    time.nowNs += 1500 * kMs;
    EXPECT_EQ(clock.positionNs(), 1000 * kMs);
    EXPECT_FALSE(clock.isPlaying());
    time.nowNs += 100 * kMs;
    EXPECT_EQ(clock.positionNs(), 1000 * kMs);
    // Play at the end starts again from the beginning.
    clock.play();
    time.nowNs += 10 * kMs;
    EXPECT_EQ(clock.positionNs(), 10 * kMs);
    EXPECT_TRUE(clock.isPlaying());
    // A seek past the end is the end.
    clock.seek(2000 * kMs);
    EXPECT_FALSE(clock.isPlaying());
    EXPECT_EQ(clock.positionNs(), 1000 * kMs);
}
