#include "engine/platform/UpdateCheck.h"

#include "engine/platform/FileSystem.h"

#include <curl/curl.h>
#include <dlfcn.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>

namespace {

constexpr const char* kUserAgent = "InetURL/1.0";
constexpr const char* kServicePath = "/update.php";
constexpr long kConnectTimeoutMs = 3000;
constexpr long kTotalTimeoutMs = 5000;
constexpr std::size_t kMaxAnswerBytes = 1024;
constexpr long kFirstSuccessStatus = 200;
constexpr long kLastSuccessStatus = 299;

struct AnswerBuffer {
    std::string text;
    bool isFull = false;
};

// Keeps the first kMaxAnswerBytes; anything more ends the transfer.
size_t collectAnswer(char* data, size_t size, size_t count, void* user)
{
    auto* buffer = static_cast<AnswerBuffer*>(user);
    const size_t length = size * count;
    const size_t room = kMaxAnswerBytes - buffer->text.size();
    buffer->text.append(data, std::min(length, room));
    if (length > room) {
        buffer->isFull = true;
        return 0;
    }
    return length;
}

// libcurl and the two dozen libraries it brings are loaded on the first
// check, not with every program that links the engine: they cost each cold
// start of kist tens of milliseconds, and most runs never ask for an update.
struct CurlCalls {
    CURLcode (*globalInit)(long) = nullptr;
    CURL* (*easyInit)() = nullptr;
    CURLcode (*easySetopt)(CURL*, CURLoption, ...) = nullptr;
    CURLcode (*easyPerform)(CURL*) = nullptr;
    CURLcode (*easyGetinfo)(CURL*, CURLINFO, ...) = nullptr;
    void (*easyCleanup)(CURL*) = nullptr;
};

template <typename Function>
bool bindCall(void* library, const char* name, Function& function)
{
    function = reinterpret_cast<Function>(::dlsym(library, name));
    return function != nullptr;
}

// The loaded calls, or nullptr when libcurl is missing or will not start.
const CurlCalls* curlReady()
{
    static std::once_flag once;
    static CurlCalls calls;
    static bool isReady = false;
    std::call_once(once, [] {
        // Kept loaded for the program's life: curl's global state may not be unloaded.
        void* library = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr)
            return;
        isReady = bindCall(library, "curl_global_init", calls.globalInit)
                  && bindCall(library, "curl_easy_init", calls.easyInit)
                  && bindCall(library, "curl_easy_setopt", calls.easySetopt)
                  && bindCall(library, "curl_easy_perform", calls.easyPerform)
                  && bindCall(library, "curl_easy_getinfo", calls.easyGetinfo)
                  && bindCall(library, "curl_easy_cleanup", calls.easyCleanup)
                  && calls.globalInit(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    });
    return isReady ? &calls : nullptr;
}

// A host, host:port or [v6]:port; anything else would change the request's path.
bool isServerAddress(const std::string& address)
{
    if (address.empty())
        return false;
    for (const char c : address) {
        const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.'
                             || c == '-' || c == ':' || c == '[' || c == ']';
        if (!allowed)
            return false;
    }
    return true;
}

// Only a web address is offered to the user as a download.
bool isWebAddress(const std::string& address)
{
    const auto startsWith = [&address](std::string_view prefix) {
        if (address.size() <= prefix.size())
            return false;
        for (std::size_t i = 0; i < prefix.size(); ++i) {
            const char c = address[i];
            const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
            if (lower != prefix[i])
                return false;
        }
        return true;
    };
    return startsWith("http://") || startsWith("https://");
}

std::optional<std::string> fetchAnswer(const std::string& url)
{
    const CurlCalls* ready = curlReady();
    if (ready == nullptr)
        return std::nullopt;
    const CurlCalls& calls = *ready;
    const std::unique_ptr<CURL, void (*)(CURL*)> handle(calls.easyInit(), calls.easyCleanup);
    if (!handle)
        return std::nullopt;
    CURL* curl = handle.get();
    AnswerBuffer buffer;
    const auto set = calls.easySetopt;
    const bool isSetUp = set(curl, CURLOPT_URL, url.c_str()) == CURLE_OK
                         && set(curl, CURLOPT_PROTOCOLS_STR, "http") == CURLE_OK
                         && set(curl, CURLOPT_HTTPGET, 1L) == CURLE_OK
                         && set(curl, CURLOPT_USERAGENT, kUserAgent) == CURLE_OK
                         && set(curl, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs) == CURLE_OK
                         && set(curl, CURLOPT_TIMEOUT_MS, kTotalTimeoutMs) == CURLE_OK
                         // Time-outs without SIGALRM: the program's signals are not ours to take.
                         && set(curl, CURLOPT_NOSIGNAL, 1L) == CURLE_OK
                         && set(curl, CURLOPT_WRITEFUNCTION, &collectAnswer) == CURLE_OK
                         && set(curl, CURLOPT_WRITEDATA, &buffer) == CURLE_OK;
    if (!isSetUp)
        return std::nullopt;

    const CURLcode result = calls.easyPerform(curl);
    if (result != CURLE_OK && !(result == CURLE_WRITE_ERROR && buffer.isFull))
        return std::nullopt;
    long status = 0;
    if (calls.easyGetinfo(curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status < kFirstSuccessStatus
        || status > kLastSuccessStatus)
        return std::nullopt;
    return buffer.text;
}

} // namespace

int UpdateCheck::check(const std::string& email, const std::string& version)
{
    try {
        download.clear();
        if (email.empty() || version.empty())
            return 0;
        const std::string server = updateServerAddress();
        if (!isServerAddress(server))
            return 0;
        const std::string mac = toNarrow(getDeviceIdentity());
        const auto answer = fetchAnswer("http://" + server + updateObjectName(kServicePath, email, version, mac));
        if (!answer)
            return 0;
        const UpdateAnswer parsed = parseUpdateAnswer(*answer);
        if (!parsed.hasVersion)
            return 0;
        latestVersion = parsed.version;
        const int result = compareVersions(version, latestVersion);
        if (result >= 1 && isWebAddress(parsed.download))
            download = parsed.download;
        return result;
    } catch (...) {
        // No device identity, no memory: the check is a courtesy, never a failure.
        return 0;
    }
}

const std::string& UpdateCheck::downloadAddress() const
{
    return download;
}

const std::string& UpdateCheck::serverVersion() const
{
    return latestVersion;
}
