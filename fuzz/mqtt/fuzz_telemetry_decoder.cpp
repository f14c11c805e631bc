// Arbitrary status payloads through the telemetry decoder: binary frames and
// JSON alike must never crash or read outside the payload.
#include "mqtt/telemetry_decoder.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // An exact-size copy, so ASan catches a read one byte past the payload.
    std::vector<uint8_t> payload(data, data + size);
    ServoTelemetry telemetry;
    if (decodeTelemetry(payload.data(), payload.size(), telemetry)) {
        if (telemetry.channelCount <= 0)
            std::abort();
        for (int channel = 0; channel < kServoCount; ++channel)
            if (!telemetry.valid[static_cast<size_t>(channel)] && telemetry.pwm[static_cast<size_t>(channel)] != 0)
                std::abort();
    }
    return 0;
}
