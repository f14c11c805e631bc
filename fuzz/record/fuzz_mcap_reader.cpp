// libFuzzer target for the MCAP reader that playback and kestro-mcap-info
// use on files they cannot trust. Beyond "no crash, no hang, no read outside
// the input" it checks what the reader promises: every message lies inside
// the input, a topic's messages come in time order, and an intact file is
// one that was not cut short.
#include "record/mcap_reader.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    McapReader reader;
    if (!reader.read(data, size))
        return 0;
    if (reader.isIntact() && reader.isCutShort())
        std::abort();
    for (const McapReader::Message& message : reader.messages()) {
        if (message.data < data || message.data + message.size > data + size)
            std::abort();
    }
    for (const auto& [id, channel] : reader.channels()) {
        std::uint64_t last = 0;
        for (const McapReader::Message& message : reader.messagesOnTopic(channel.topic)) {
            if (message.logTime < last)
                std::abort();
            last = message.logTime;
        }
    }
    return 0;
}
