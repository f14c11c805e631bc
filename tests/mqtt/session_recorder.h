#pragma once

#include "mqtt/mosquitto.h"

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

// Records the four callbacks of a client from its network thread; the test
// thread reads copies under the lock.
class SessionRecorder
{
public:
    using Clock = std::chrono::steady_clock;

    struct Message
    {
        std::string topic;
        std::string payload;
        int messageId = 0;
        int qos = 0;
        bool retain = false;
    };

    void attach(mosquitto* client);

    std::vector<int> connectCodes() const;
    std::vector<Clock::time_point> connectTimes() const;
    int disconnects() const;
    std::vector<int> publishedIds() const;
    std::vector<Message> messages() const;

private:
    static void onConnect(mosquitto*, void* data, int code);
    static void onDisconnect(mosquitto*, void* data, int code);
    static void onPublish(mosquitto*, void* data, int messageId);
    static void onMessage(mosquitto*, void* data, const mosquitto_message* message);

    mutable std::mutex m_mutex;
    std::vector<int> m_connectCodes;
    std::vector<Clock::time_point> m_connectTimes;
    int m_disconnects = 0;
    std::vector<int> m_publishedIds;
    std::vector<Message> m_messages;
};
