#include "selfupdate/http_transport_curl.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <memory>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "test_support.h"

using selfupdate::CurlHttpTransport;
using selfupdate::HttpResponse;
using selfupdate_test::HttpsTestServer;

namespace {

constexpr std::int32_t kConnectMs = 10000;
constexpr std::int32_t kReceiveMs = 10000;
const std::size_t kPackageSize = 100000;

// A loopback port with nobody listening on it.
int unusedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

struct Received {
    std::string bytes;
    std::vector<std::int64_t> totals;
    std::size_t largestBlock = 0;
};

} // namespace

class HttpTransportTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        server = std::make_unique<HttpsTestServer>();
        if (server->running()) {
            server->serve("catalog.json", R"({"hello":"world"})");
            server->serve("package.bin", selfupdate_test::randomBytes(kPackageSize, 7));
        }
    }
    static void TearDownTestSuite() { server.reset(); }

    void SetUp() override { ASSERT_TRUE(server->running()) << server->failure(); }

    bool stream(const std::string& path, Received& received, std::string& error,
                const std::atomic<bool>* cancel = nullptr, std::int32_t receiveMs = kReceiveMs)
    {
        return transport.downloadStream(
            server->url(path),
            [&received](const char* data, std::size_t length, std::int64_t total) {
                received.bytes.append(data, length);
                received.totals.push_back(total);
                received.largestBlock = std::max(received.largestBlock, length);
                return true;
            },
            kConnectMs, receiveMs, cancel, &error);
    }

    static std::unique_ptr<HttpsTestServer> server;
    CurlHttpTransport transport{server->caFile()};
};

std::unique_ptr<HttpsTestServer> HttpTransportTest::server;

TEST_F(HttpTransportTest, GetsCatalogAndSendsOurHeaders)
{
    const HttpResponse response = transport.get(server->url("/files/catalog.json"), kConnectMs, kReceiveMs, nullptr);
    EXPECT_EQ(response.statusCode, 200);
    EXPECT_EQ(response.body, R"({"hello":"world"})");
    EXPECT_EQ(response.error, "");
    EXPECT_EQ(response.headers.count("Content-Length"), 1u);

    const HttpResponse echoed = transport.get(server->url("/headers"), kConnectMs, kReceiveMs, nullptr);
    EXPECT_NE(echoed.body.find("User-Agent: selfupdate/1.0"), std::string::npos) << echoed.body;
    EXPECT_NE(echoed.body.find("Cache-Control: no-cache"), std::string::npos) << echoed.body;
    EXPECT_NE(echoed.body.find("Pragma: no-cache"), std::string::npos) << echoed.body;
}

TEST_F(HttpTransportTest, StreamsBlocksWithAndWithoutContentLength)
{
    const std::string expected = selfupdate_test::randomBytes(kPackageSize, 7);
    struct Case {
        std::string path;
        std::int64_t total;
    };
    for (const Case& c : {Case{"/files/package.bin", static_cast<std::int64_t>(kPackageSize)},
                          Case{"/chunked/package.bin", -1}}) {
        Received received;
        std::string error = "stale text";
        ASSERT_TRUE(stream(c.path, received, error)) << c.path << ": " << error;
        EXPECT_EQ(error, "stale text") << "success leaves the error text alone";
        EXPECT_EQ(received.bytes, expected) << c.path;
        EXPECT_LE(received.largestBlock, selfupdate::kHttpBlockSize);
        EXPECT_GT(received.totals.size(), 1u);
        for (std::int64_t total : received.totals)
            EXPECT_EQ(total, c.total) << c.path;
    }
}

TEST_F(HttpTransportTest, RedirectsWithinTheBudget)
{
    for (int code : {301, 302, 303, 307, 308}) {
        const std::string prefix = "/redirect/" + std::to_string(code);
        // Four redirects are followed, also a relative Location.
        const HttpResponse followed =
            transport.get(server->url(prefix + "/3/files/catalog.json"), kConnectMs, kReceiveMs, nullptr);
        EXPECT_EQ(followed.statusCode, 200) << code << ": " << followed.error;
        EXPECT_EQ(followed.body, R"({"hello":"world"})");

        // The fifth ends the transfer with its status and no text.
        const HttpResponse spent =
            transport.get(server->url(prefix + "/4/files/catalog.json"), kConnectMs, kReceiveMs, nullptr);
        EXPECT_EQ(spent.statusCode, code);
        EXPECT_EQ(spent.error, "");
        EXPECT_EQ(spent.body, "");
    }
    const HttpResponse loop = transport.get(server->url("/loop"), kConnectMs, kReceiveMs, nullptr);
    EXPECT_EQ(loop.statusCode, 302);
    EXPECT_EQ(loop.error, "");

    const HttpResponse relative = transport.get(server->url("/relative/catalog.json"), kConnectMs, kReceiveMs, nullptr);
    EXPECT_EQ(relative.statusCode, 200) << relative.error;
    EXPECT_EQ(relative.body, R"({"hello":"world"})");

    Received received;
    std::string error;
    EXPECT_FALSE(stream("/loop", received, error));
    EXPECT_TRUE(received.bytes.empty());
}

TEST_F(HttpTransportTest, RefusesRedirectThatLeavesHttps)
{
    const std::string target = "http://127.0.0.1:" + std::to_string(server->port()) + "/files/catalog.json";
    const HttpResponse response =
        transport.get(server->url("/to-http/files/catalog.json"), kConnectMs, kReceiveMs, nullptr);
    EXPECT_EQ(response.statusCode, 302);
    EXPECT_EQ(response.error, selfupdate::kRedirectLeavesHttpsMessage + target);
    EXPECT_EQ(response.body, "");

    Received received;
    std::string error;
    EXPECT_FALSE(stream("/to-http/files/package.bin", received, error));
    EXPECT_EQ(error, selfupdate::kRedirectLeavesHttpsMessage + std::string("http://127.0.0.1:") +
                         std::to_string(server->port()) + "/files/package.bin");
    EXPECT_TRUE(received.bytes.empty());
}

TEST_F(HttpTransportTest, ErrorStatusesKeepTheirCode)
{
    struct Case {
        std::string path;
        int status;
    };
    for (const Case& c : {Case{"/status/404", 404}, Case{"/status/500", 500}, Case{"/no-location", 302},
                          Case{"/files/absent.bin", 404}}) {
        const HttpResponse response = transport.get(server->url(c.path), kConnectMs, kReceiveMs, nullptr);
        EXPECT_EQ(response.statusCode, c.status) << c.path;
        EXPECT_EQ(response.error, "HTTP server returned error status " + std::to_string(c.status)) << c.path;

        Received received;
        std::string error;
        EXPECT_FALSE(stream(c.path, received, error)) << c.path;
        EXPECT_EQ(error, "HTTP server returned error status " + std::to_string(c.status));
        EXPECT_TRUE(received.bytes.empty()) << "an error page is never passed on as package bytes";
    }
}

TEST_F(HttpTransportTest, BodyThatStopsMidwayIsAReadFailure)
{
    const HttpResponse response = transport.get(server->url("/truncated/package.bin"), kConnectMs, kReceiveMs, nullptr);
    EXPECT_EQ(response.statusCode, 0);
    EXPECT_EQ(response.body, selfupdate_test::randomBytes(kPackageSize, 7).substr(0, kPackageSize / 2));
    EXPECT_EQ(response.error.rfind("WinHttpReadData failed: ", 0), 0u) << response.error;
}

TEST_F(HttpTransportTest, StalledBodyEndsAfterTheReceiveTimeout)
{
    const auto start = std::chrono::steady_clock::now();
    const HttpResponse response = transport.get(server->url("/stall/package.bin"), kConnectMs, 1000, nullptr);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(response.statusCode, 0);
    EXPECT_EQ(response.error, "WinHttpReadData failed: 28");
    EXPECT_EQ(response.body.size(), 4096u);
    EXPECT_LT(elapsed, std::chrono::seconds(30)) << "the stall lasts 60 s; the timer must end it first";

    // A server that never answers at all times out while waiting for the response.
    const HttpResponse silent = transport.get(server->url("/silent"), kConnectMs, 1000, nullptr);
    EXPECT_EQ(silent.statusCode, 0);
    EXPECT_EQ(silent.error, "WinHttpReceiveResponse failed: 28");
}

TEST_F(HttpTransportTest, CancellationBeforeAndDuringTheTransfer)
{
    std::atomic<bool> cancel{true};
    const HttpResponse before = transport.get(server->url("/files/catalog.json"), kConnectMs, kReceiveMs, &cancel);
    EXPECT_EQ(before.statusCode, 0);
    EXPECT_EQ(before.error, "Operation cancelled");

    // The slow route takes over a second; the flag is raised (as the
    // controller's cancel() would, from any thread) once bytes flow.
    cancel = false;
    std::string error;
    std::size_t seen = 0;
    const bool ok = transport.downloadStream(
        server->url("/slow/package.bin"),
        [&](const char*, std::size_t length, std::int64_t) {
            seen += length;
            cancel = true;
            return true;
        },
        kConnectMs, kReceiveMs, &cancel, &error);
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, "Download cancelled");
    EXPECT_LT(seen, kPackageSize);
}

TEST_F(HttpTransportTest, ChunkCallbackCanAbortOrThrow)
{
    int calls = 0;
    std::string error;
    const bool ok = transport.downloadStream(
        server->url("/files/package.bin"),
        [&calls](const char*, std::size_t, std::int64_t) {
            ++calls;
            return false;
        },
        kConnectMs, kReceiveMs, nullptr, &error);
    EXPECT_FALSE(ok);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(error, "Stream chunk callback requested abort");

    // An exception from the callback reaches our caller intact instead of
    // unwinding through libcurl.
    EXPECT_THROW(transport.downloadStream(
                     server->url("/files/package.bin"),
                     [](const char*, std::size_t, std::int64_t) -> bool { throw std::logic_error("disk gone"); },
                     kConnectMs, kReceiveMs, nullptr, &error),
                 std::logic_error);
}

// A length that does not fit in 64 bits (or is no number) is refused, not
// taken as "unknown", which would switch off every size check downstream.
TEST_F(HttpTransportTest, RefusesContentLengthsThatAreNotNumbers)
{
    for (const std::string value : {"99999999999999999999999", "18446744073709551616", "12abc"}) {
        int calls = 0;
        std::string error;
        EXPECT_FALSE(transport.downloadStream(
            server->url("/bad-length/" + value),
            [&calls](const char*, std::size_t, std::int64_t) { return ++calls > 0; }, kConnectMs, kReceiveMs,
            nullptr, &error));
        EXPECT_EQ(calls, 0) << value;
        EXPECT_EQ(error, "Invalid Content-Length in HTTP response: " + value);
    }
    std::int64_t total = 0;
    std::string error;
    EXPECT_TRUE(transport.downloadStream(
        server->url("/bad-length/1000"),
        [&total](const char*, std::size_t, std::int64_t length) { return (total = length) > 0; }, kConnectMs,
        kReceiveMs, nullptr, &error))
        << error;
    EXPECT_EQ(total, 1000);
}

TEST_F(HttpTransportTest, ConnectionFailuresAndUnusableUrls)
{
    // Without our throwaway authority the server's certificate is not trusted.
    CurlHttpTransport systemStoreOnly;
    const HttpResponse untrusted = systemStoreOnly.get(server->url("/files/catalog.json"), kConnectMs, kReceiveMs, nullptr);
    EXPECT_EQ(untrusted.statusCode, 0);
    EXPECT_EQ(untrusted.error, "WinHttpConnect failed: 60");

    const HttpResponse refused = transport.get("https://127.0.0.1:" + std::to_string(unusedPort()) + "/version.json",
                                               kConnectMs, kReceiveMs, nullptr);
    EXPECT_EQ(refused.statusCode, 0);
    EXPECT_EQ(refused.error, "WinHttpConnect failed: 7");

    for (const std::string url : {"", "not a url", "ftp://127.0.0.1/file", "file:///etc/passwd"}) {
        const HttpResponse response = transport.get(url, kConnectMs, kReceiveMs, nullptr);
        EXPECT_EQ(response.error, "WinHttpCrackUrl failed for URL") << url;
        EXPECT_EQ(response.statusCode, 0) << url;
    }
}
