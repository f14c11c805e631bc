#include "tests/mqtt/session_recorder.h"

void SessionRecorder::attach(mosquitto* client)
{
    mosquitto_connect_callback_set(client, &SessionRecorder::onConnect);
    mosquitto_disconnect_callback_set(client, &SessionRecorder::onDisconnect);
    mosquitto_publish_callback_set(client, &SessionRecorder::onPublish);
    mosquitto_message_callback_set(client, &SessionRecorder::onMessage);
}

std::vector<int> SessionRecorder::connectCodes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connectCodes;
}

std::vector<SessionRecorder::Clock::time_point> SessionRecorder::connectTimes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connectTimes;
}

int SessionRecorder::disconnects() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_disconnects;
}

std::vector<int> SessionRecorder::publishedIds() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_publishedIds;
}

std::vector<SessionRecorder::Message> SessionRecorder::messages() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages;
}

void SessionRecorder::onConnect(mosquitto*, void* data, int code)
{
    auto* self = static_cast<SessionRecorder*>(data);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_connectCodes.push_back(code);
    self->m_connectTimes.push_back(Clock::now());
}

void SessionRecorder::onDisconnect(mosquitto*, void* data, int)
{
    auto* self = static_cast<SessionRecorder*>(data);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    ++self->m_disconnects;
}

void SessionRecorder::onPublish(mosquitto*, void* data, int messageId)
{
    auto* self = static_cast<SessionRecorder*>(data);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_publishedIds.push_back(messageId);
}

void SessionRecorder::onMessage(mosquitto*, void* data, const mosquitto_message* message)
{
    auto* self = static_cast<SessionRecorder*>(data);
    Message copy;
    copy.topic = message->topic;
    if (message->payload)
        copy.payload.assign(static_cast<const char*>(message->payload), static_cast<size_t>(message->payloadLength));
    copy.messageId = message->messageId;
    copy.qos = message->qos;
    copy.retain = message->retain;
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_messages.push_back(std::move(copy));
}
