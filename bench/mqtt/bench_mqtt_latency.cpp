// Publish-to-receive latency of 91-byte servo frames through a real
// mosquitto broker on loopback, at the 30 Hz transmit rate and at full
// speed; the same traffic through the broker's own mosquitto_pub and
// mosquitto_sub in the same run; our client over TLS to a second broker with
// a TLS listener, interleaved with the plain traffic; and the idle CPU use
// of a connected client.
//
//   bench_mqtt_latency [seconds at 30 Hz, default 10] [frames at full speed, default 5000]
#include "mqtt/mosquitto.h"
#include "tests/support/child_process.h"
#include "tests/support/mosquitto_broker.h"
#include "tests/support/test_pki.h"
#include "tests/support/wait_for.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using kestro_test::ChildProcess;
using kestro_test::MosquittoBroker;
using kestro_test::TestPki;
using kestro_test::waitFor;

namespace {

constexpr size_t kFrameSize = 91; // a full 17-channel set-PWM frame
constexpr const char* kOurTopic = "robot/kestro/bench/control";
constexpr uint32_t kWarmupSequence = 0xFFFFFFFF;
constexpr const char* kPeerTopic = "robot/kestro/bench-peer/control";

int64_t wallNs()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

struct Stats
{
    size_t sent = 0;
    size_t received = 0;
    double p50 = 0, p99 = 0, max = 0; // microseconds
    double sendingMs = 0;              // how long handing the frames over took
};

Stats summarize(size_t sent, std::vector<double> latencies)
{
    Stats stats;
    stats.sent = sent;
    stats.received = latencies.size();
    if (latencies.empty())
        return stats;
    std::sort(latencies.begin(), latencies.end());
    const auto at = [&](double q) {
        const size_t index = static_cast<size_t>(q * static_cast<double>(latencies.size() - 1) + 0.5);
        return latencies[std::min(index, latencies.size() - 1)];
    };
    stats.p50 = at(0.50);
    stats.p99 = at(0.99);
    stats.max = latencies.back();
    return stats;
}

// A set-PWM frame (magic, type 8, 17 servo TLVs) whose first two channels
// carry a sequence number, so the receiver can match it to its send time.
std::vector<uint8_t> servoFrame(uint32_t sequence)
{
    std::vector<uint8_t> frame{'K', 'S', 'B', '1', 8, static_cast<uint8_t>(kFrameSize - 6)};
    for (uint8_t channel = 0; channel < 17; ++channel) {
        uint16_t value = 150;
        if (channel == 0)
            value = sequence & 0xFFFF;
        if (channel == 1)
            value = sequence >> 16;
        frame.insert(frame.end(), {3, 3, channel, static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8)});
    }
    return frame;
}

// --- our client on both ends ------------------------------------------------

struct OurReceiver
{
    std::mutex mutex;
    std::vector<int64_t> receivedAt; // by sequence, 0 = not yet
    std::atomic<size_t> count{0};
    std::atomic<size_t> warmups{0};
    std::atomic<bool> connected{false};
};

void onOurMessage(mosquitto*, void* data, const mosquitto_message* message)
{
    const int64_t now = wallNs();
    auto* receiver = static_cast<OurReceiver*>(data);
    if (message->payloadLength != static_cast<int>(kFrameSize))
        return;
    const auto* bytes = static_cast<const uint8_t*>(message->payload);
    const uint32_t sequence = (bytes[9] | (bytes[10] << 8)) | (static_cast<uint32_t>(bytes[14] | (bytes[15] << 8)) << 16);
    if (sequence == kWarmupSequence) {
        receiver->warmups.fetch_add(1);
        return;
    }
    std::lock_guard<std::mutex> lock(receiver->mutex);
    if (sequence < receiver->receivedAt.size() && receiver->receivedAt[sequence] == 0) {
        receiver->receivedAt[sequence] = now;
        receiver->count.fetch_add(1);
    }
}

void onOurConnect(mosquitto*, void* data, int code)
{
    if (code == 0)
        static_cast<OurReceiver*>(data)->connected.store(true);
}

struct OurPair
{
    OurReceiver receiver;
    OurReceiver publisherState;
    mosquitto* subscriber = nullptr;
    mosquitto* publisher = nullptr;

    // caFile: encrypted and verified against that CA; empty: plain TCP.
    bool open(const MosquittoBroker& broker, const std::string& caFile = {})
    {
        subscriber = mosquitto_new("bench-sub", true, &receiver);
        publisher = mosquitto_new("bench-pub", true, &publisherState);
        for (mosquitto* client : {subscriber, publisher}) {
            if (!caFile.empty() &&
                mosquitto_tls_set(client, caFile.c_str(), nullptr, nullptr, nullptr, nullptr) != MOSQ_ERR_SUCCESS)
                return false;
        }
        mosquitto_connect_callback_set(subscriber, onOurConnect);
        mosquitto_connect_callback_set(publisher, onOurConnect);
        mosquitto_message_callback_set(subscriber, onOurMessage);
        for (mosquitto* client : {subscriber, publisher}) {
            mosquitto_connect_async(client, broker.host(), broker.port(), 60);
            mosquitto_loop_start(client);
        }
        if (!waitFor([&] { return receiver.connected.load() && publisherState.connected.load(); }))
            return false;
        mosquitto_subscribe(subscriber, nullptr, kOurTopic, 0);
        // Warm up until the subscription is known to be in force.
        return waitFor([&] {
            const auto frame = servoFrame(kWarmupSequence);
            mosquitto_publish(publisher, nullptr, kOurTopic, static_cast<int>(frame.size()), frame.data(), 0, false);
            return waitFor([&] { return receiver.warmups.load() > 0; }, 100ms);
        });
    }

    void prepare(size_t frames)
    {
        std::lock_guard<std::mutex> lock(receiver.mutex);
        receiver.receivedAt.assign(frames, 0);
        receiver.count.store(0);
    }

    void begin(size_t frames)
    {
        prepare(frames);
        m_sentAt.assign(frames, 0);
    }

    void sendOne(size_t index)
    {
        const auto frame = servoFrame(static_cast<uint32_t>(index));
        m_sentAt[index] = wallNs();
        mosquitto_publish(publisher, nullptr, kOurTopic, static_cast<int>(frame.size()), frame.data(), 0, false);
    }

    Stats finish(size_t frames)
    {
        waitFor([&] { return receiver.count.load() == frames; }, 3s);
        std::vector<double> latencies;
        std::lock_guard<std::mutex> lock(receiver.mutex);
        for (size_t i = 0; i < frames; ++i)
            if (receiver.receivedAt[i] != 0)
                latencies.push_back(static_cast<double>(receiver.receivedAt[i] - m_sentAt[i]) / 1000.0);
        return summarize(frames, std::move(latencies));
    }

    std::vector<int64_t> m_sentAt;

    void close()
    {
        mosquitto_destroy(publisher);
        mosquitto_destroy(subscriber);
    }
};

// --- the broker's own tools -------------------------------------------------

// mosquitto_pub -l publishes each stdin line; mosquitto_sub -F prints the
// receive time (%U, wall clock with nanoseconds) and the payload. The
// payload is the send time in nanoseconds padded to the frame size.
class PeerTools
{
public:
    bool open(const MosquittoBroker& broker)
    {
        const std::string port = std::to_string(broker.port());
        if (!m_sub.start({"/usr/bin/mosquitto_sub", "-h", broker.host(), "-p", port, "-t", kPeerTopic, "-F", "%U %p"}))
            return false;
        if (!m_pub.start({"/usr/bin/mosquitto_pub", "-h", broker.host(), "-p", port, "-t", kPeerTopic, "-l"}, {}, true))
            return false;
        m_reader = std::thread([this] { readLoop(); });
        // Warm up: both tools connected and the subscription in force.
        return waitFor([&] {
            m_pub.writeStdin(line(0));
            return waitFor([&] { return m_warmups.load() > 0; }, 100ms);
        });
    }

    void begin(size_t)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_latencies.clear();
        m_before = m_lines.load();
    }

    void sendOne(size_t) { m_pub.writeStdin(line(wallNs())); }

    Stats finish(size_t frames)
    {
        waitFor([&] { return m_lines.load() >= m_before + frames; }, 3s);
        std::lock_guard<std::mutex> lock(m_mutex);
        return summarize(frames, m_latencies);
    }

    pid_t subscriberPid() const { return m_sub.pid(); }

    void close()
    {
        m_pub.closeStdin();
        m_pub.waitExit(2s);
        m_stop.store(true);
        if (m_reader.joinable())
            m_reader.join();
        m_sub.stop(SIGTERM);
        m_pub.stop(SIGTERM);
    }

    ~PeerTools()
    {
        m_stop.store(true);
        if (m_reader.joinable())
            m_reader.join();
    }

private:
    static std::string line(int64_t sentNs)
    {
        char text[32];
        std::snprintf(text, sizeof text, "%020" PRId64, sentNs);
        std::string payload(text);
        payload.resize(kFrameSize, 'x');
        return payload + "\n";
    }

    void readLoop()
    {
        std::string pending;
        char chunk[65536];
        while (!m_stop.load()) {
            pollfd entry{m_sub.stdoutFd(), POLLIN, 0};
            if (::poll(&entry, 1, 50) <= 0)
                continue;
            const ssize_t got = ::read(m_sub.stdoutFd(), chunk, sizeof chunk);
            if (got <= 0)
                continue;
            pending.append(chunk, static_cast<size_t>(got));
            size_t end;
            while ((end = pending.find('\n')) != std::string::npos) {
                parse(pending.substr(0, end));
                pending.erase(0, end + 1);
            }
        }
    }

    void parse(const std::string& text)
    {
        // "<seconds>.<nanoseconds> <20-digit send time>xxxx"
        const size_t dot = text.find('.');
        const size_t space = text.find(' ');
        if (dot == std::string::npos || space == std::string::npos || space < dot)
            return;
        const int64_t received = std::stoll(text.substr(0, dot)) * 1000000000 + std::stoll(text.substr(dot + 1, space - dot - 1));
        const int64_t sent = std::stoll(text.substr(space + 1, 20));
        // Warm-up lines carry 0; extra ones may still trickle in later.
        if (sent == 0) {
            m_warmups.fetch_add(1);
            return;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_latencies.push_back(static_cast<double>(received - sent) / 1000.0);
        m_lines.fetch_add(1);
    }

    ChildProcess m_sub;
    ChildProcess m_pub;
    std::thread m_reader;
    std::atomic<bool> m_stop{false};
    std::atomic<size_t> m_lines{0};
    std::atomic<size_t> m_warmups{0};
    size_t m_before = 0;
    std::mutex m_mutex;
    std::vector<double> m_latencies;
};

// --- idle CPU ----------------------------------------------------------------

double processCpuSeconds()
{
    timespec used{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

double childCpuSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    // Fields after the command name: state is field 3, utime 14, stime 15.
    std::vector<std::string> fields;
    size_t position = close + 2;
    while (position < text.size()) {
        const size_t next = text.find(' ', position);
        fields.push_back(text.substr(position, next - position));
        if (next == std::string::npos)
            break;
        position = next + 1;
    }
    if (fields.size() < 13)
        return 0;
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    return (std::stod(fields[11]) + std::stod(fields[12])) / ticks;
}

// At 30 Hz all three kinds of traffic run in the same seconds, ours on each
// period, ours over TLS a third of a period later and the peer's two thirds
// later, so machine load hits them alike.
void runPaced(OurPair& ours, OurPair& oursTls, PeerTools& peer, size_t frames, double rateHz, Stats& oursStats,
              Stats& tlsStats, Stats& peerStats)
{
    ours.begin(frames);
    oursTls.begin(frames);
    peer.begin(frames);
    const auto period = std::chrono::duration<double>(1.0 / rateHz);
    const auto start = std::chrono::steady_clock::now() + 10ms;
    const auto at = [&](double periods) {
        std::this_thread::sleep_until(start + std::chrono::duration_cast<std::chrono::nanoseconds>(period * periods));
    };
    for (size_t i = 0; i < frames; ++i) {
        at(static_cast<double>(i));
        ours.sendOne(i);
        at(static_cast<double>(i) + 1.0 / 3.0);
        oursTls.sendOne(i);
        at(static_cast<double>(i) + 2.0 / 3.0);
        peer.sendOne(i);
    }
    oursStats = ours.finish(frames);
    tlsStats = oursTls.finish(frames);
    peerStats = peer.finish(frames);
}

// A burst: everything handed over as fast as the interface takes it.
template <typename Side>
Stats runBurst(Side& side, size_t frames)
{
    side.begin(frames);
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < frames; ++i)
        side.sendOne(i);
    const double sendingMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    Stats stats = side.finish(frames);
    stats.sendingMs = sendingMs;
    return stats;
}

void printRow(const char* label, const Stats& ours, const Stats& peer)
{
    std::printf("%-22s %8zu/%-8zu %9.1f %9.1f %9.1f   | %8zu/%-8zu %9.1f %9.1f %9.1f   | p99 ratio %.2f\n", label,
                ours.received, ours.sent, ours.p50, ours.p99, ours.max, peer.received, peer.sent, peer.p50, peer.p99,
                peer.max, peer.p99 > 0 ? ours.p99 / peer.p99 : 0.0);
}

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const size_t burst = argc > 2 ? static_cast<size_t>(std::atol(argv[2])) : 5000;
    const size_t paced = static_cast<size_t>(seconds * 30.0);

    MosquittoBroker broker;
    TestPki pki;
    const TestPki::Issued certificate = pki.issueLoopbackBroker("broker");
    MosquittoBroker::Options tlsOptions;
    tlsOptions.caFile = pki.caFile();
    tlsOptions.certFile = certificate.certFile;
    tlsOptions.keyFile = certificate.keyFile;
    MosquittoBroker tlsBroker(tlsOptions);
    if (!pki.ok() || !broker.start() || !tlsBroker.start()) {
        std::fprintf(stderr, "bench_mqtt_latency: %s%s%s\n", pki.error().c_str(), broker.error().c_str(),
                     tlsBroker.error().c_str());
        return 1;
    }
    mosquitto_lib_init();
    OurPair ours;
    OurPair oursTls;
    PeerTools peer;
    if (!ours.open(broker) || !oursTls.open(tlsBroker, pki.caFile()) || !peer.open(broker)) {
        std::fprintf(stderr, "bench_mqtt_latency: clients did not connect\n%s\n%s\n", broker.log().c_str(),
                     tlsBroker.log().c_str());
        return 1;
    }

    std::printf("91-byte frames through mosquitto on 127.0.0.1:%d, latency in microseconds (publish call -> subscriber callback)\n",
                broker.port());
    std::printf("%-22s %-17s %9s %9s %9s   | %-17s %9s %9s %9s\n", "", "ours recv/sent", "p50", "p99", "max",
                "pub/sub recv/sent", "p50", "p99", "max");
    Stats oursPaced;
    Stats tlsPaced;
    Stats peerPaced;
    runPaced(ours, oursTls, peer, paced, 30.0, oursPaced, tlsPaced, peerPaced);
    printRow("30 Hz", oursPaced, peerPaced);
    const Stats oursBurst = runBurst(ours, burst);
    const Stats tlsBurst = runBurst(oursTls, burst);
    const Stats peerBurst = runBurst(peer, burst);
    printRow("full speed", oursBurst, peerBurst);
    std::printf("\nours over TLS (verified, second broker on 127.0.0.1:%d) next to ours over plain TCP, same run:\n",
                tlsBroker.port());
    std::printf("%-22s %-17s %9s %9s %9s   | %-17s %9s %9s %9s\n", "", "TLS recv/sent", "p50", "p99", "max",
                "plain recv/sent", "p50", "p99", "max");
    printRow("30 Hz", tlsPaced, oursPaced);
    printRow("full speed", tlsBurst, oursBurst);
    const double tlsExtraP99 = tlsPaced.p99 - oursPaced.p99;
    std::printf("TLS p99 - plain p99 at 30 Hz: %.1f us\n", tlsExtraP99);
    std::printf("full speed: handing %zu frames over took %.1f ms (ours, mosquitto_publish) and %.1f ms (peer, writing "
                "mosquitto_pub's stdin)\n",
                burst, oursBurst.sendingMs, peerBurst.sendingMs);

    // Idle: our subscriber alone in this process, mosquitto_sub in its own.
    mosquitto_destroy(ours.publisher);
    ours.publisher = nullptr;
    std::this_thread::sleep_for(500ms);
    const double idleSeconds = 5.0;
    const double oursBefore = processCpuSeconds();
    const double peerBefore = childCpuSeconds(peer.subscriberPid());
    std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
    const double oursIdle = (processCpuSeconds() - oursBefore) / idleSeconds * 100.0;
    const double peerIdle = (childCpuSeconds(peer.subscriberPid()) - peerBefore) / idleSeconds * 100.0;
    std::printf("idle connected client, CPU over %.0f s: ours %.3f %% of a core, mosquitto_sub %.3f %% (tick resolution %.0f ms)\n",
                idleSeconds, oursIdle, peerIdle, 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK)));

    mosquitto_destroy(ours.subscriber);
    oursTls.close();
    peer.close();
    mosquitto_lib_cleanup();
    broker.stop();
    tlsBroker.stop();
    const bool target = oursPaced.received == oursPaced.sent && oursPaced.p99 <= 2000.0;
    std::printf("target p99 <= 2 ms at 30 Hz: %s\n", target ? "met" : "MISSED");
    const bool tlsTarget = tlsPaced.received == tlsPaced.sent && tlsExtraP99 <= 1000.0;
    std::printf("target TLS p99 within 1 ms of plain at 30 Hz: %s\n", tlsTarget ? "met" : "MISSED");
    return 0;
}
