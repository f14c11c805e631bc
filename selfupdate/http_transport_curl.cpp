#include "selfupdate/http_transport_curl.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <exception>
#include <chrono>
#include <cstdio>
#include <limits>
#include <memory>
#include <mutex>

namespace selfupdate {

const char* const kRedirectLeavesHttpsMessage = "Refused redirect from HTTPS to a non-HTTPS location: ";
const char* const kResponseTooLargeMessage = "Response body larger than 1048576 bytes";
static_assert(kMaxResponseBodyBytes == 1048576, "kResponseTooLargeMessage names the limit");

namespace {

const char* const kUserAgent = "selfupdate/1.0";
// Ask every cache on the way for a fresh copy: a stale catalog would hide a
// release, a stale package would fail its digest check.
const char* const kRequestHeaders[] = {"Cache-Control: no-cache", "Pragma: no-cache"};
// Redirect responses handled per transfer; the fifth one ends it.
constexpr int kRedirectBudget = 5;
// libcurl's number for a timeout, shown where our own idle timer fired.
constexpr int kTimeoutErrorCode = CURLE_OPERATION_TIMEDOUT;

using Clock = std::chrono::steady_clock;

struct CurlEasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct CurlListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct CurlUrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlList = std::unique_ptr<curl_slist, CurlListDeleter>;
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;

void ensureCurlInitialised()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool isCancelled(const std::atomic<bool>* cancel)
{
    return cancel != nullptr && cancel->load();
}

bool isRedirectStatus(long status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::string urlPart(CURLU* url, CURLUPart part)
{
    char* text = nullptr;
    if (curl_url_get(url, part, &text, 0) != CURLUE_OK || text == nullptr)
        return std::string();
    std::string result(text);
    curl_free(text);
    return result;
}

// The lower-case scheme of an absolute http or https URL with a host, or an
// empty string when the URL cannot be used.
std::string crackUrl(const std::string& url)
{
    if (url.empty())
        return std::string();
    CurlUrl handle(curl_url());
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
        return std::string();
    const std::string scheme = urlPart(handle.get(), CURLUPART_SCHEME);
    if ((scheme != "http" && scheme != "https") || urlPart(handle.get(), CURLUPART_HOST).empty())
        return std::string();
    return scheme;
}

// A Location value may be relative to the URL that answered with it.
std::string resolveLocation(const std::string& current, const std::string& location)
{
    CurlUrl handle(curl_url());
    if (handle && curl_url_set(handle.get(), CURLUPART_URL, current.c_str(), 0) == CURLUE_OK &&
        curl_url_set(handle.get(), CURLUPART_URL, location.c_str(), 0) == CURLUE_OK) {
        const std::string resolved = urlPart(handle.get(), CURLUPART_URL);
        if (!resolved.empty())
            return resolved;
    }
    return location; // the next round reports it as an unusable URL
}

std::string trimLine(std::string text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    std::size_t start = 0;
    while (start < text.size() && std::isspace(static_cast<unsigned char>(text[start])))
        ++start;
    return text.substr(start);
}

bool equalsIgnoreCase(const std::string& a, const char* b)
{
    const std::size_t length = std::char_traits<char>::length(b);
    if (a.size() != length)
        return false;
    for (std::size_t i = 0; i < length; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// A Content-Length value: decimal digits that fit in 64 bits.
bool parseContentLength(const std::string& text, std::int64_t& length)
{
    if (text.empty())
        return false;
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || value > (std::numeric_limits<std::int64_t>::max() - (c - '0')) / 10)
            return false;
        value = value * 10 + (c - '0');
    }
    length = value;
    return true;
}

// Everything one request of the redirect loop learns while libcurl runs it.
struct RequestContext {
    CURL* handle = nullptr;
    const HttpChunkCallback* onChunk = nullptr;
    const std::atomic<bool>* cancel = nullptr;
    std::int32_t receiveTimeoutMs = 0;

    long status = 0;
    bool headersComplete = false; // the final (non-1xx) response's headers
    bool readingBody = false;     // a 2xx response whose body is being passed on
    bool stopAtHeaders = false;   // redirect or error status: the body is not wanted
    std::string location;
    std::int64_t totalLength = -1;
    std::map<std::string, std::string> headers;

    enum class Abort { None, Cancelled, ChunkRefused, TimedOut, CallbackThrew, BadContentLength };
    Abort abort = Abort::None;
    // An exception from the chunk callback must not unwind through libcurl's
    // C frames; it is carried past curl_easy_perform and rethrown there.
    std::exception_ptr callbackException;
    std::string badContentLength;
    Clock::time_point lastActivity = Clock::now();
};

size_t onHeaderLine(char* buffer, size_t size, size_t count, void* userData)
{
    auto* context = static_cast<RequestContext*>(userData);
    const size_t length = size * count;
    context->lastActivity = Clock::now();
    const std::string line = trimLine(std::string(buffer, length));

    if (line.compare(0, 5, "HTTP/") == 0) {
        // A new response (an interim 1xx one comes before the final one).
        context->headers.clear();
        context->location.clear();
        return length;
    }
    if (!line.empty()) {
        const std::size_t colon = line.find(':');
        if (colon != std::string::npos) {
            const std::string name = trimLine(line.substr(0, colon));
            const std::string value = trimLine(line.substr(colon + 1));
            context->headers[name] = value;
            if (equalsIgnoreCase(name, "Location"))
                context->location = value;
        }
        return length;
    }

    long status = 0;
    curl_easy_getinfo(context->handle, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200)
        return length;
    context->status = status;
    context->headersComplete = true;
    if (status > 299 || (isRedirectStatus(status) && !context->location.empty())) {
        // Neither a redirect's nor an error page's body is ever used: stop
        // here instead of reading it. Returning a short count ends the transfer.
        context->stopAtHeaders = true;
        return 0;
    }
    // Read here rather than from libcurl, which takes a length too large for
    // 64 bits as "unknown": such a response is refused.
    for (const auto& [name, value] : context->headers) {
        if (!equalsIgnoreCase(name, "Content-Length"))
            continue;
        if (!parseContentLength(value, context->totalLength)) {
            context->abort = RequestContext::Abort::BadContentLength;
            context->badContentLength = value;
            return 0;
        }
    }
    context->readingBody = true;
    return length;
}

size_t onBodyData(char* data, size_t size, size_t count, void* userData)
{
    auto* context = static_cast<RequestContext*>(userData);
    const size_t length = size * count;
    context->lastActivity = Clock::now();
    if (!context->readingBody)
        return length;
    for (size_t offset = 0; offset < length; offset += kHttpBlockSize) {
        if (isCancelled(context->cancel)) {
            context->abort = RequestContext::Abort::Cancelled;
            return 0;
        }
        const size_t block = std::min(kHttpBlockSize, length - offset);
        bool accepted = false;
        try {
            accepted = (*context->onChunk)(data + offset, block, context->totalLength);
        } catch (...) {
            context->callbackException = std::current_exception();
            context->abort = RequestContext::Abort::CallbackThrew;
            return 0;
        }
        if (!accepted) {
            context->abort = RequestContext::Abort::ChunkRefused;
            return 0;
        }
    }
    return length;
}

// Called by libcurl often while data flows and about once a second while the
// line is idle: the place for cancellation while a call blocks, and for the
// receive timeout ("no data for receiveTimeoutMs"), which libcurl itself only
// offers as a whole-transfer limit.
int onProgress(void* userData, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto* context = static_cast<RequestContext*>(userData);
    if (isCancelled(context->cancel)) {
        context->abort = RequestContext::Abort::Cancelled;
        return 1;
    }
    curl_off_t requestReadyMicros = 0;
    curl_easy_getinfo(context->handle, CURLINFO_PRETRANSFER_TIME_T, &requestReadyMicros);
    const Clock::time_point now = Clock::now();
    if (requestReadyMicros == 0) {
        // Still resolving or connecting: the connect timeout governs that.
        context->lastActivity = now;
        return 0;
    }
    if (context->receiveTimeoutMs > 0 &&
        now - context->lastActivity > std::chrono::milliseconds(context->receiveTimeoutMs)) {
        context->abort = RequestContext::Abort::TimedOut;
        return 1;
    }
    return 0;
}

bool isConnectionFailure(CURLcode code)
{
    switch (code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
        return true;
    default:
        return false;
    }
}

} // namespace

CurlHttpTransport::CurlHttpTransport(std::string extraCaFile) : m_extraCaFile(std::move(extraCaFile)) {}

HttpResponse CurlHttpTransport::get(const std::string& url, std::int32_t connectTimeoutMs,
                                    std::int32_t receiveTimeoutMs, const std::atomic<bool>* cancel)
{
    HttpResponse response;
    bool tooLarge = false;
    const HttpChunkCallback append = [&response, &tooLarge](const char* data, std::size_t length, std::int64_t) {
        if (response.body.size() + length > kMaxResponseBodyBytes) {
            tooLarge = true;
            return false;
        }
        response.body.append(data, length);
        return true;
    };
    transfer(url, append, connectTimeoutMs, receiveTimeoutMs, cancel, &response.error, &response.statusCode,
             &response.headers);
    if (tooLarge)
        response.error = kResponseTooLargeMessage;
    return response;
}

bool CurlHttpTransport::downloadStream(const std::string& url, const HttpChunkCallback& onChunk,
                                       std::int32_t connectTimeoutMs, std::int32_t receiveTimeoutMs,
                                       const std::atomic<bool>* cancel, std::string* errorOut)
{
    std::int32_t status = 0;
    return transfer(url, onChunk, connectTimeoutMs, receiveTimeoutMs, cancel, errorOut, &status, nullptr);
}

bool CurlHttpTransport::transfer(const std::string& startUrl, const HttpChunkCallback& onChunk,
                                 std::int32_t connectTimeoutMs, std::int32_t receiveTimeoutMs,
                                 const std::atomic<bool>* cancel, std::string* errorOut, std::int32_t* statusOut,
                                 std::map<std::string, std::string>* headersOut) const
{
    auto fail = [errorOut](const std::string& text) {
        if (errorOut != nullptr)
            *errorOut = text;
        return false;
    };
    ensureCurlInitialised();

    std::string url = startUrl;
    const bool startedOnHttps = crackUrl(startUrl) == "https";
    int redirectsLeft = kRedirectBudget;
    for (;;) {
        if (isCancelled(cancel))
            return fail("Operation cancelled");
        if (crackUrl(url).empty())
            return fail("WinHttpCrackUrl failed for URL");

        CurlEasy easy(curl_easy_init());
        CurlList headerList;
        for (const char* header : kRequestHeaders) {
            curl_slist* extended = curl_slist_append(headerList.get(), header);
            if (extended == nullptr)
                return fail("WinHttpOpen failed with error " + std::to_string(CURLE_OUT_OF_MEMORY));
            // The returned head owns the whole list, the old one included.
            static_cast<void>(headerList.release());
            headerList.reset(extended);
        }
        if (!easy)
            return fail("WinHttpOpen failed with error " + std::to_string(CURLE_FAILED_INIT));

        RequestContext context;
        context.handle = easy.get();
        context.onChunk = &onChunk;
        context.cancel = cancel;
        context.receiveTimeoutMs = receiveTimeoutMs;
        char errorBuffer[CURL_ERROR_SIZE] = {};

        CURL* h = easy.get();
        curl_easy_setopt(h, CURLOPT_URL, url.c_str());
        curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(h, CURLOPT_USERAGENT, kUserAgent);
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, headerList.get());
        curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
        // A proxy's CONNECT answer must not be mistaken for the server's.
        curl_easy_setopt(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
        // Worker threads: no SIGALRM-based name-resolution timeouts.
        curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(h, CURLOPT_BUFFERSIZE, static_cast<long>(kHttpBlockSize));
        if (connectTimeoutMs > 0)
            curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectTimeoutMs));
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
        // Replaces the bundle file only; the system's hashed certificate
        // folder (CAPATH) stays trusted, so the file adds to the store.
        if (!m_extraCaFile.empty())
            curl_easy_setopt(h, CURLOPT_CAINFO, m_extraCaFile.c_str());
        curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer);
        curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, onHeaderLine);
        curl_easy_setopt(h, CURLOPT_HEADERDATA, &context);
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onBodyData);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, &context);
        curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, onProgress);
        curl_easy_setopt(h, CURLOPT_XFERINFODATA, &context);
        curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);

        const CURLcode code = curl_easy_perform(h);
        if (context.headersComplete)
            *statusOut = static_cast<std::int32_t>(context.status);
        if (headersOut != nullptr)
            *headersOut = context.headers;

        // Failures while the body is read leave no status: the response is
        // not usable.
        auto failBody = [&](const std::string& text) {
            *statusOut = 0;
            return fail(text);
        };
        switch (context.abort) {
        case RequestContext::Abort::Cancelled:
            return context.readingBody ? failBody("Download cancelled") : fail("Operation cancelled");
        case RequestContext::Abort::ChunkRefused:
            return failBody("Stream chunk callback requested abort");
        case RequestContext::Abort::TimedOut:
            if (context.readingBody)
                return failBody("WinHttpReadData failed: " + std::to_string(kTimeoutErrorCode));
            return fail("WinHttpReceiveResponse failed: " + std::to_string(kTimeoutErrorCode));
        case RequestContext::Abort::BadContentLength:
            return failBody("Invalid Content-Length in HTTP response: " + context.badContentLength);
        case RequestContext::Abort::CallbackThrew:
            *statusOut = 0;
            std::rethrow_exception(context.callbackException);
        case RequestContext::Abort::None:
            break;
        }

        if (code != CURLE_OK && !context.stopAtHeaders) {
            std::fprintf(stderr, "HttpTransport: %s: %s\n", url.c_str(),
                         errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(code));
            const std::string number = std::to_string(static_cast<int>(code));
            if (context.readingBody)
                return failBody("WinHttpReadData failed: " + number);
            curl_off_t requestReadyMicros = 0;
            curl_easy_getinfo(h, CURLINFO_PRETRANSFER_TIME_T, &requestReadyMicros);
            if (isConnectionFailure(code) || requestReadyMicros == 0)
                return fail("WinHttpConnect failed: " + number);
            if (code == CURLE_SEND_ERROR)
                return fail("WinHttpSendRequest failed: " + number);
            return fail("WinHttpReceiveResponse failed: " + number);
        }

        if (isRedirectStatus(context.status) && !context.location.empty()) {
            const std::string next = resolveLocation(url, context.location);
            const std::string nextScheme = crackUrl(next);
            if (startedOnHttps && !nextScheme.empty() && nextScheme != "https")
                return fail(kRedirectLeavesHttpsMessage + next);
            if (--redirectsLeft == 0)
                return false; // budget spent: the redirect status stays recorded, no text
            url = next;
            continue;
        }
        if (context.status < 200 || context.status > 299)
            return fail("HTTP server returned error status " + std::to_string(context.status));
        return true;
    }
}

std::shared_ptr<HttpTransport> HttpTransport::createDefault()
{
    return std::make_shared<CurlHttpTransport>();
}

} // namespace selfupdate
