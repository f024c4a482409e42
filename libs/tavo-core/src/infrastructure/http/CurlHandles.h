#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/CPtr.h"

namespace tavo::core::infra::http {

// Owners of libcurl objects: released on every path, never by hand.
using CurlEasyPtr = common::CPtr<CURL, curl_easy_cleanup>;
using CurlSlistPtr = common::CPtr<curl_slist, curl_slist_free_all>;
using CurlStringPtr = common::CPtr<char, curl_free>;
using CurlUrlPtr = common::CPtr<CURLU, curl_url_cleanup>;

// Appends one line; on allocation failure the list built so far is kept and
// false is returned.
bool appendLine(CurlSlistPtr& list, const char* line);

// Hops a transfer may take, for every handle of the library.
inline constexpr long kMaxRedirects = 10;

// One request's time limit, taken when the request starts: each redirect hop,
// and a card transfer's second try, gets only the time that is left, so that
// a server that stalls before every redirect cannot stretch the limit.
class Deadline {
public:
    using Clock = std::chrono::steady_clock;
    // A limit of zero or less sets none (libcurl's "no timeout").
    explicit Deadline(std::chrono::milliseconds limit);
    // Sets CURLOPT_TIMEOUT_MS to the time left; CURLE_OPERATION_TIMEDOUT
    // when none is left, or libcurl's refusal of the option.
    CURLcode arm(CURL* handle) const;

private:
    std::optional<Clock::time_point> end_;
};

// Sets options on one handle and keeps the first refusal, named by its
// option, so that a request never runs on a half-configured handle.
class CurlSetter {
public:
    explicit CurlSetter(CURL* handle) : handle_(handle) {}

    template <class T>
    CurlSetter& set(CURLoption option, const char* name, T value) {
        CURLcode rc = handle_ ? curl_easy_setopt(handle_, option, value) : CURLE_FAILED_INIT;
        if (rc != CURLE_OK && error_.empty())
            error_ = std::string("libcurl refused ") + name + ": " + curl_easy_strerror(rc);
        return *this;
    }

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    // Records a failure found outside libcurl (first one wins).
    void fail(std::string error) {
        if (error_.empty()) error_ = std::move(error);
    }

private:
    CURL* handle_;
    std::string error_;
};

// The option's own name goes into the error text.
#define TAVO_CURL_SET(setter, option, value) (setter).set(option, #option, value)

// The policy every libcurl handle of the library starts from: https only for
// the first request and for every redirect, at most kMaxRedirects hops, no
// signals (the library runs on the caller's threads), server verification on,
// and the test seam where it is compiled in. The seam's list is stored in
// `seam`, which must outlive the handle. Returns the first refusal's text;
// empty on success.
std::string applyHandlePolicy(CURL* handle, CurlSlistPtr& seam);

// The name of the first header whose name or value holds CR, LF or NUL: such
// a value would end its line and start another one on the wire.
std::optional<std::string> headerWithLineBreak(
    const std::vector<std::pair<std::string_view, std::string_view>>& headers);
bool holdsLineBreak(std::string_view text);

// Scheme, host (lower case), port (empty when the address names none) and
// path ("/" at the least; no query or fragment) as libcurl itself reads them,
// so the host checked is the host connected to.
struct UrlParts {
    std::string scheme;
    std::string host;
    std::string port;
    std::string path;
};
std::optional<UrlParts> parseUrl(const std::string& url);

// Whether two addresses name one server: the same host and the same port,
// where no port and 443 are one, as the library speaks only https.
bool isDefaultHttpsPort(std::string_view port);
bool sameOrigin(const UrlParts& a, const UrlParts& b);

// Collects an answer in memory up to a cap, in pieces that are never moved
// while the transfer runs, so that holding it costs about its size (a buffer
// that doubles leaves every earlier copy resident). Past the cap it drops what
// it holds and takes nothing more, so that libcurl ends the transfer.
class CappedSink {
public:
    explicit CappedSink(std::size_t cap) : cap_(cap) {}
    // False once the cap is passed: the caller returns 0 to libcurl.
    bool append(const char* data, std::size_t size);
    // Drops what was collected (the body of a redirect answer).
    void clear();
    std::size_t size() const { return size_; }
    // Hands the whole answer over and empties the sink.
    void moveTo(std::string& out);
    void moveTo(std::vector<std::uint8_t>& out);

    bool exceeded() const { return exceeded_; }
    std::size_t cap() const { return cap_; }
    void setCap(std::size_t cap) { cap_ = cap; }
    // "answer larger than the limit of N bytes"
    std::string error() const;

private:
    template <class Buffer>
    void moveInto(Buffer& out);

    std::size_t cap_;
    std::size_t size_ = 0;
    bool exceeded_ = false;
    std::vector<std::string> pieces_;
};

}  // namespace tavo::core::infra::http
