#pragma once

#include <cmath>
#include <type_traits>

// The ranges the settings dialog offers, in one place for the dialog and for
// every consumer of a setting: a value read from a hand-edited file is
// bounded to the same range at its point of use, so no file can make the
// transmit timer spin, divide by zero or disable a threshold.
template <typename T>
struct SettingRange
{
    T minimum;
    T maximum;

    // The value limited to the range; a value that is not a number gives
    // `fallback` (the setting's default).
    constexpr T bound(T value, T fallback) const
    {
        if constexpr (std::is_floating_point_v<T>) {
            if (std::isnan(value))
                return fallback;
        }
        return value < minimum ? minimum : value > maximum ? maximum : value;
    }
};

namespace setting_ranges {

inline constexpr SettingRange<int> kTargetFps{10, 120};
inline constexpr SettingRange<double> kThreshold{0.05, 0.99};
inline constexpr SettingRange<double> kSmoothingAlpha{0.01, 1.0};
inline constexpr SettingRange<double> kDeadbandDeg{0.0, 10.0};
// 0 or less in a file means no speed limit; the dialog offers these.
inline constexpr SettingRange<double> kMaxVelocityDegS{10.0, 500.0};
inline constexpr SettingRange<double> kSafetyMarginDeg{0.0, 15.0};
inline constexpr SettingRange<int> kTxRateHz{5, 60};
inline constexpr SettingRange<int> kWatchdogTimeoutMs{100, 3000};
// The smallest and largest of the dialog's resolutions.
inline constexpr SettingRange<int> kFrameWidth{640, 1920};
inline constexpr SettingRange<int> kFrameHeight{480, 1080};

} // namespace setting_ranges
