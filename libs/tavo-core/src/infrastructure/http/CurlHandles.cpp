#include "infrastructure/http/CurlHandles.h"

#include <algorithm>

#include "common/Ascii.h"
#include "infrastructure/http/TestSeam.h"

namespace tavo::core::infra::http {

std::string applyHandlePolicy(CURL* handle, CurlSlistPtr& seam) {
    CurlSetter s(handle);
    TAVO_CURL_SET(s, CURLOPT_PROTOCOLS_STR, "https");
    TAVO_CURL_SET(s, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    TAVO_CURL_SET(s, CURLOPT_MAXREDIRS, kMaxRedirects);
    TAVO_CURL_SET(s, CURLOPT_NOSIGNAL, 1L);
    TAVO_CURL_SET(s, CURLOPT_SSL_VERIFYPEER, 1L);
    TAVO_CURL_SET(s, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!s.ok()) return s.error();
    return applyTestSeam(handle, seam);
}

Deadline::Deadline(std::chrono::milliseconds limit) {
    if (limit.count() > 0) end_ = Clock::now() + limit;
}

CURLcode Deadline::arm(CURL* handle) const {
    long left = 0;
    if (end_) {
        const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(*end_ - Clock::now());
        if (remaining.count() < 1) return CURLE_OPERATION_TIMEDOUT;
        left = static_cast<long>(remaining.count());
    }
    return curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, left);
}

bool holdsLineBreak(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

std::optional<std::string> headerWithLineBreak(
    const std::vector<std::pair<std::string_view, std::string_view>>& headers) {
    for (const auto& [name, value] : headers)
        if (holdsLineBreak(name) || holdsLineBreak(value)) return std::string(name);
    return std::nullopt;
}

std::optional<UrlParts> parseUrl(const std::string& url) {
    CurlUrlPtr u(curl_url());
    if (!u || curl_url_set(u.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return std::nullopt;
    auto part = [&](CURLUPart which) -> std::optional<std::string> {
        char* raw = nullptr;
        if (curl_url_get(u.get(), which, &raw, 0) != CURLUE_OK) return std::nullopt;
        CurlStringPtr owned(raw);
        return std::string(owned.get());
    };
    auto scheme = part(CURLUPART_SCHEME);
    auto host = part(CURLUPART_HOST);
    if (!scheme || !host) return std::nullopt;
    UrlParts parts;
    for (char c : *scheme) parts.scheme += common::ascii::toLower(c);
    for (char c : *host) parts.host += common::ascii::toLower(c);
    parts.port = part(CURLUPART_PORT).value_or("");
    parts.path = part(CURLUPART_PATH).value_or("/");
    return parts;
}

bool isDefaultHttpsPort(std::string_view port) {
    return port.empty() || port == "443";
}

bool sameOrigin(const UrlParts& a, const UrlParts& b) {
    return a.host == b.host && (a.port == b.port || (isDefaultHttpsPort(a.port) && isDefaultHttpsPort(b.port)));
}

bool CappedSink::append(const char* data, std::size_t size) {
    if (exceeded_) return false;
    if (size > cap_ || size_ > cap_ - size) {
        exceeded_ = true;
        clear();  // nothing partial is ever handed on
        return false;
    }
    // Pieces grow with the answer (64 KiB up to 4 MiB) and are filled, never
    // reallocated.
    constexpr std::size_t kSmallest = 64u << 10, kLargest = 4u << 20;
    while (size > 0) {
        if (pieces_.empty() || pieces_.back().size() == pieces_.back().capacity()) {
            pieces_.emplace_back();
            pieces_.back().reserve(std::clamp(size_, kSmallest, kLargest));
        }
        std::string& piece = pieces_.back();
        const std::size_t n = std::min(size, piece.capacity() - piece.size());
        piece.append(data, n);
        data += n;
        size -= n;
        size_ += n;
    }
    return true;
}

void CappedSink::clear() {
    std::vector<std::string>().swap(pieces_);
    size_ = 0;
}

template <class Buffer>
void CappedSink::moveInto(Buffer& out) {
    Buffer whole;
    whole.reserve(size_);
    for (std::string& piece : pieces_) {
        whole.insert(whole.end(), piece.begin(), piece.end());
        std::string().swap(piece);
    }
    clear();
    out.swap(whole);
}

void CappedSink::moveTo(std::string& out) {
    // One piece needs no copy.
    if (pieces_.size() == 1) {
        out.swap(pieces_.front());
        clear();
        return;
    }
    moveInto(out);
}

void CappedSink::moveTo(std::vector<std::uint8_t>& out) {
    moveInto(out);
}

std::string CappedSink::error() const {
    return "answer larger than the limit of " + std::to_string(cap_) + " bytes";
}

}  // namespace tavo::core::infra::http
