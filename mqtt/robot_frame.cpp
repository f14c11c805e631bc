#include "mqtt/robot_frame.h"

#include <algorithm>

namespace robot_frame {

std::array<uint8_t, kHeaderSize> commandFrame(FrameType type)
{
    return {kMagic[0], kMagic[1], kMagic[2], kMagic[3], type, 0};
}

SetPwmFrame::SetPwmFrame()
{
    std::copy(kMagic.begin(), kMagic.end(), m_bytes.begin());
    m_bytes[4] = kSetPwm;
    m_bytes[5] = 0;
}

bool SetPwmFrame::appendServo(uint8_t channel, int16_t pwm)
{
    if (m_size + kServoTlvSize > m_bytes.size())
        return false;
    const auto value = static_cast<uint16_t>(pwm);
    m_bytes[m_size++] = kServoPwmTlv;
    m_bytes[m_size++] = kServoPwmTlvLength;
    m_bytes[m_size++] = channel;
    m_bytes[m_size++] = static_cast<uint8_t>(value & 0xFF);
    m_bytes[m_size++] = static_cast<uint8_t>(value >> 8);
    ++m_servoCount;
    return true;
}

bool SetPwmFrame::finish()
{
    const size_t bodyLength = m_size - kHeaderSize;
    if (bodyLength > 255)
        return false;
    m_bytes[5] = static_cast<uint8_t>(bodyLength);
    return true;
}

} // namespace robot_frame
