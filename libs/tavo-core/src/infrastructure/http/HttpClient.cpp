#include "infrastructure/http/HttpClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "common/Ascii.h"
#include "common/CertificateId.h"
#include "common/Logger.h"
#include "common/Utf8.h"
#include "infrastructure/http/CurlHandles.h"
#include "infrastructure/http/CurlText.h"
#include "infrastructure/http/Pkcs11Engine.h"
#include "infrastructure/http/TestSeam.h"

namespace tavo::core::infra::http {
namespace {

constexpr const char* kNoHandle = "curl handle not initialised";

// libcurl's informational lines only; headers and data never reach the log.
// Called from C: nothing may escape it.
int debugCallback(CURL*, curl_infotype type, char* data, size_t size, void*) noexcept {
    if (type != CURLINFO_TEXT || !data) return 0;
    try {
        std::string_view text(data, size);
        while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
        if (!text.empty()) Logger::info("curl: " + redactCurlInfo(text));
    } catch (...) {
    }
    return 0;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (common::ascii::toLower(a[i]) != common::ascii::toLower(b[i])) return false;
    return true;
}

bool mentionsJson(std::string_view value) {
    std::string lower;
    for (char c : value) lower += common::ascii::toLower(c);
    return lower.find("json") != std::string::npos;
}

// Where one transfer's answer goes; the callbacks below receive it.
struct Collector {
    CappedSink sink;
    std::string* text = nullptr;                 // text answers
    std::vector<std::uint8_t>* bytes = nullptr;  // binary downloads
    HeaderMap* headers = nullptr;                // null: headers are discarded
    std::size_t jsonCap = 0;                     // 0: no separate JSON cap
    bool failed = false;                         // out of memory inside a callback

    explicit Collector(std::size_t cap) : sink(cap) {}
    std::string error(CURLcode rc) const {
        if (sink.exceeded()) return sink.error();
        if (failed) return "out of memory while reading the answer";
        return curl_easy_strerror(rc);
    }
};

size_t writeBody(char* data, size_t size, size_t count, void* userdata) noexcept {
    auto* c = static_cast<Collector*>(userdata);
    const size_t n = size * count;
    try {
        return c->sink.append(data, n) ? n : 0;
    } catch (...) {
        c->failed = true;
        return 0;
    }
}

size_t collectHeader(char* data, size_t size, size_t count, void* userdata) noexcept {
    auto* c = static_cast<Collector*>(userdata);
    const size_t n = size * count;
    try {
        auto header = parseHeaderLine(std::string_view(data, n));
        if (!header) return n;
        // A body labelled JSON is held to the JSON cap from its first byte.
        if (c->jsonCap && equalsIgnoringCase(header->first, "Content-Type") && mentionsJson(header->second))
            c->sink.setCap(std::min(c->sink.cap(), c->jsonCap));
        if (c->headers) (*c->headers)[header->first] = std::move(header->second);
        return n;
    } catch (...) {
        c->failed = true;
        return 0;
    }
}

// Authorization and Cookie lines of the caller stay with the host they were
// meant for, as libcurl's own redirect handling does.
bool staysWithItsHost(const std::string& name) {
    return equalsIgnoringCase(name, "Authorization") || equalsIgnoringCase(name, "Cookie");
}

CurlSlistPtr headerLines(const HeaderMap& headers, const std::string& firstLine, bool sameHost) {
    CurlSlistPtr list;
    if (!firstLine.empty()) appendLine(list, firstLine.c_str());
    for (const auto& [name, value] : headers) {
        if (!sameHost && staysWithItsHost(name)) continue;
        std::string line = name;
        line += ": ";
        line += value;
        appendLine(list, line.c_str());
    }
    return list;
}

bool isRedirectStatus(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool isDefaultHttpsPort(const std::string& port) {
    return port.empty() || port == "443";
}

bool sameOrigin(const UrlParts& a, const UrlParts& b) {
    return a.host == b.host && (a.port == b.port || (isDefaultHttpsPort(a.port) && isDefaultHttpsPort(b.port)));
}

}  // namespace

struct HttpClient::Impl {
    HttpClientOptions options;
    // Declared before the handle, so the handle that points at it goes first.
    CurlSlistPtr testSeam;
    CurlEasyPtr handle;
    // The client key is on the card: transfers go through the engine's
    // key-load rules (Pkcs11Engine).
    bool cardKey = false;
    // Set when the handle could not be configured: every request fails with it.
    std::string setupError;

    explicit Impl(HttpClientOptions o) : options(std::move(o)) {}

    // fields as an application/x-www-form-urlencoded body.
    std::string formBody(const HeaderMap& fields) const;

    CURLcode perform(CURL* h) { return cardKey ? performWithCardKey(h, options.pin) : curl_easy_perform(h); }

    // One request: the method, address and body a transfer starts with.
    struct Request {
        std::string url;
        bool post = false;
        std::string_view body;
        std::string contentTypeLine;  // first header line of a POST; empty: none
        const HeaderMap* headers = nullptr;
    };

    void configure();
    void applyClientCert();
    long redirectLimit() const;
    std::optional<std::string> redirectRefusal(const UrlParts& origin, const std::string& target) const;
    // Runs the request, following redirects itself so that each target is
    // checked before a connection to it is even opened. Fills status,
    // effectiveUrl (when wanted) and error; the collector receives the body.
    void transfer(Request request, Collector& collector, HttpResponse& r, bool wantUrl);
    HttpResponse doGet(const std::string& url, const HeaderMap& headers);
    HttpResponse doPostRaw(const std::string& url, std::string_view body, const std::string& contentType,
                           const HeaderMap& headers);
    Collector textCollector(HttpResponse& r, const HeaderMap& headers) const;
    // Checks and applies the options of one request; false with r.error set.
    bool usable(HttpResponse& r) const;
};

void HttpClient::Impl::configure() {
    CURL* h = handle.get();
    // Verification stays on whatever the options say: a client that trusts
    // any server would hand the session cookie and PIN-backed login to it.
    if (!options.verifyPeer) Logger::warn("HttpClient: verifyPeer=false ignored — server verification stays on");
    if (holdsLineBreak(options.userAgent)) {
        setupError = "header \"User-Agent\" refused: its value holds a line break or NUL";
        Logger::error("HttpClient: " + setupError);
        return;
    }
    setupError = applyHandlePolicy(h, testSeam);
    CurlSetter s(h);
    if (!setupError.empty()) s.fail(setupError);
    TAVO_CURL_SET(s, CURLOPT_USERAGENT, options.userAgent.c_str());
    // Redirects are followed by transfer(), one checked hop at a time.
    TAVO_CURL_SET(s, CURLOPT_FOLLOWLOCATION, 0L);
    TAVO_CURL_SET(s, CURLOPT_TIMEOUT, static_cast<long>(options.timeoutSeconds));
    TAVO_CURL_SET(s, CURLOPT_VERBOSE, 1L);
    TAVO_CURL_SET(s, CURLOPT_DEBUGFUNCTION, &debugCallback);
    TAVO_CURL_SET(s, CURLOPT_DEBUGDATA, this);
    TAVO_CURL_SET(s, CURLOPT_COOKIEFILE, options.cookieFile.c_str());
    if (!options.cookieFile.empty()) TAVO_CURL_SET(s, CURLOPT_COOKIEJAR, options.cookieFile.c_str());
    setupError = s.error();
    if (!setupError.empty()) Logger::error("HttpClient: set-up failed: " + setupError);
}

void HttpClient::Impl::applyClientCert() {
    const std::string& id = options.clientCertId;
    cardKey = false;
    if (id.empty() || !handle) return;
    CURL* h = handle.get();
    CurlSetter s(h);
    const bool isUri = id.rfind("pkcs11:", 0) == 0;
    if (!isUri && !common::certid::isSlotAndKeyId(id)) {
        Logger::warn(
            "HttpClient: Keychain cert ref path in use — mTLS may fail on OpenSSL-backed libcurl. For smart cards use "
            "a '<slot>:<CKA_ID-hex>' cert id instead.");
        TAVO_CURL_SET(s, CURLOPT_SSLCERT, id.c_str());
        TAVO_CURL_SET(s, CURLOPT_SSLCERTTYPE, "P12");
        if (!s.ok() && setupError.empty()) setupError = s.error();
        return;
    }

    std::string modulePath = options.pkcs11ModulePath;
    if (modulePath.empty()) {
        if (const char* env = std::getenv("TAVO_PKCS11_MODULE")) modulePath = env;
    }
    if (!modulePath.empty()) {
        setPkcs11ModulePathOnce(modulePath);
        Logger::info("HttpClient: PKCS#11 module = " + modulePath);
    } else {
        Logger::warn(
            "HttpClient: PKCS#11 cert id but no module path configured — set TAVO_PKCS11_MODULE or "
            "HttpClientOptions.pkcs11ModulePath");
    }

    ensurePkcs11EngineLoaded();

    std::string name = id;
    if (!isUri) {
        std::size_t colon = id.find(':');
        name = "slot_" + id.substr(0, colon) + "-id_" + id.substr(colon + 1);
    }
    // Without the engine the card cannot sign the handshake: say so now, not
    // as a certificate error of the first request.
    if (CURLcode rc = curl_easy_setopt(h, CURLOPT_SSLENGINE, "pkcs11"); rc != CURLE_OK) {
        setupError = std::string("the smart card's pkcs11 engine could not be selected: ") + curl_easy_strerror(rc);
        Logger::error("HttpClient: " + setupError);
        return;
    }
    TAVO_CURL_SET(s, CURLOPT_SSLENGINE_DEFAULT, 1L);
    TAVO_CURL_SET(s, CURLOPT_SSLCERT, name.c_str());
    TAVO_CURL_SET(s, CURLOPT_SSLCERTTYPE, "ENG");
    TAVO_CURL_SET(s, CURLOPT_SSLKEY, name.c_str());
    TAVO_CURL_SET(s, CURLOPT_SSLKEYTYPE, "ENG");
    if (!s.ok()) {
        setupError = s.error();
        Logger::error("HttpClient: set-up failed: " + setupError);
        return;
    }
    // A later certificate id that works clears an earlier engine failure.
    setupError.clear();

    // The PIN goes to the engine at each transfer, not here: it is the
    // engine's one PIN for the whole process.
    cardKey = true;
    Logger::info("HttpClient: using PKCS#11 engine, cert=" + common::utf8::escapeForLog(name) +
                 (options.pin.empty() ? " [no PIN supplied]" : " [PIN set]"));
}

long HttpClient::Impl::redirectLimit() const {
    const long wanted = options.maxRedirects;
    return wanted < 0 || wanted > kMaxRedirects ? kMaxRedirects : wanted;
}

std::optional<std::string> HttpClient::Impl::redirectRefusal(const UrlParts& origin, const std::string& target) const {
    const std::string shown = "redirect to " + urlForLog(target) + " refused: ";
    std::optional<UrlParts> parts = parseUrl(target);
    if (!parts) return shown + "not a readable address";
    if (parts->scheme != "https") return shown + "not an https address";
    if (options.redirectHosts.empty()) {
        if (sameOrigin(*parts, origin)) return std::nullopt;
        return shown + "another host than the request's";
    }
    if (isDefaultHttpsPort(parts->port))
        for (const std::string& host : options.redirectHosts)
            if (equalsIgnoringCase(parts->host, host)) return std::nullopt;
    return shown + "not a host this client may follow a redirect to";
}

bool HttpClient::Impl::usable(HttpResponse& r) const {
    if (!handle) {
        r.error = kNoHandle;
        return false;
    }
    if (!setupError.empty()) {
        r.error = setupError;
        return false;
    }
    return true;
}

Collector HttpClient::Impl::textCollector(HttpResponse& r, const HeaderMap& headers) const {
    Collector c(options.maxBodyBytes);
    c.text = &r.body;
    c.headers = &r.headers;
    c.jsonCap = options.maxJsonBytes;
    for (const auto& [name, value] : headers)
        if (equalsIgnoringCase(name, "Accept") && mentionsJson(value))
            c.sink.setCap(std::min(options.maxBodyBytes, options.maxJsonBytes));
    return c;
}

void HttpClient::Impl::transfer(Request request, Collector& collector, HttpResponse& r, bool wantUrl) {
    CURL* h = handle.get();
    std::vector<std::pair<std::string_view, std::string_view>> all;
    for (const auto& [name, value] : *request.headers) all.emplace_back(name, value);
    all.emplace_back("Content-Type", request.contentTypeLine);
    if (std::optional<std::string> bad = headerWithLineBreak(all)) {
        r.error = "header \"" + common::utf8::escapeForLog(*bad) + "\" refused: its value holds a line break or NUL";
        Logger::warn("HttpClient: " + r.error);
        return;
    }
    std::optional<UrlParts> origin = parseUrl(request.url);
    UrlParts current = origin.value_or(UrlParts{});
    bool sameHost = true;
    long followed = 0;
    CurlSlistPtr lines = headerLines(*request.headers, request.contentTypeLine, sameHost);
    for (;;) {
        CurlSetter s(h);
        TAVO_CURL_SET(s, CURLOPT_URL, request.url.c_str());
        if (request.post) {
            TAVO_CURL_SET(s, CURLOPT_POST, 1L);
            // A null pointer would make libcurl read the body from standard input.
            TAVO_CURL_SET(s, CURLOPT_POSTFIELDS, request.body.empty() ? "" : request.body.data());
            TAVO_CURL_SET(s, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        } else {
            TAVO_CURL_SET(s, CURLOPT_HTTPGET, 1L);
        }
        TAVO_CURL_SET(s, CURLOPT_WRITEFUNCTION, &writeBody);
        TAVO_CURL_SET(s, CURLOPT_WRITEDATA, &collector);
        TAVO_CURL_SET(s, CURLOPT_HEADERFUNCTION, &collectHeader);
        TAVO_CURL_SET(s, CURLOPT_HEADERDATA, &collector);
        TAVO_CURL_SET(s, CURLOPT_HTTPHEADER, lines.get());
        if (!s.ok()) {
            r.error = s.error();
            break;
        }
        // A redirect's own body is not the answer.
        collector.sink.clear();
        if (CURLcode rc = perform(h); rc != CURLE_OK) {
            r.error = collector.error(rc);
            break;
        }
        long status = 0;
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
        char* location = nullptr;
        if (!options.followRedirects || !isRedirectStatus(status) ||
            curl_easy_getinfo(h, CURLINFO_REDIRECT_URL, &location) != CURLE_OK || !location) {
            r.status = static_cast<std::int32_t>(status);
            if (wantUrl) {
                char* url = nullptr;
                if (curl_easy_getinfo(h, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url) r.effectiveUrl = url;
            }
            break;
        }
        if (followed >= redirectLimit()) {
            r.error = curl_easy_strerror(CURLE_TOO_MANY_REDIRECTS);
            break;
        }
        std::string next = location;
        if (std::optional<std::string> refusal = redirectRefusal(origin.value_or(UrlParts{}), next)) {
            r.error = *refusal;
            Logger::warn("HttpClient: " + *refusal);
            break;
        }
        ++followed;
        Logger::info("HttpClient: redirect " + std::to_string(status) + " to " + urlForLog(next));
        std::optional<UrlParts> target = parseUrl(next);
        if (sameHost && target && !sameOrigin(*target, current)) sameHost = false;
        // 303, and 301/302 after a POST, continue as a GET, as browsers do;
        // 307 and 308 repeat the request as it was.
        if (request.post && (status == 301 || status == 302 || status == 303)) {
            request.post = false;
            request.contentTypeLine.clear();
        }
        lines = headerLines(*request.headers, request.contentTypeLine, sameHost);
        request.url = std::move(next);
        if (target) current = *target;
    }
    // The lists of this request die with it: never leave the handle pointing
    // at one.
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
    if (!r.error.empty()) {
        r.status = 0;
        collector.sink.clear();
    }
    if (collector.text) collector.sink.moveTo(*collector.text);
    if (collector.bytes) collector.sink.moveTo(*collector.bytes);
}

HttpResponse HttpClient::Impl::doGet(const std::string& url, const HeaderMap& headers) {
    HttpResponse r;
    if (!usable(r)) return r;
    Collector c = textCollector(r, headers);
    Request request;
    request.url = url;
    request.headers = &headers;
    transfer(std::move(request), c, r, true);
    return r;
}

HttpResponse HttpClient::Impl::doPostRaw(const std::string& url, std::string_view body, const std::string& contentType,
                                         const HeaderMap& headers) {
    HttpResponse r;
    if (!usable(r)) return r;
    Collector c = textCollector(r, headers);
    Request request;
    request.url = url;
    request.post = true;
    request.body = body;
    request.headers = &headers;
    if (!headers.count("Content-Type") && !headers.count("content-type")) {
        // "Content-Type:" with no value keeps libcurl from adding its own
        // form type to a body that is not a form.
        request.contentTypeLine = contentType.empty() ? "Content-Type:" : "Content-Type: " + contentType;
    }
    transfer(std::move(request), c, r, false);
    return r;
}

HttpClient::HttpClient(HttpClientOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {
    impl_->handle.reset(curl_easy_init());
    if (!impl_->handle) {
        Logger::error("HttpClient: curl_easy_init failed");
        return;
    }
    impl_->configure();
    impl_->applyClientCert();
}

HttpClient::~HttpClient() = default;

const HttpClientOptions& HttpClient::options() const {
    return impl_->options;
}

HttpResponse HttpClient::get(const std::string& url, const HeaderMap& headers) {
    return impl_->doGet(url, headers);
}

HttpResponse HttpClient::getFresh(const std::string& url, const HeaderMap& headers) {
    CURL* h = impl_->handle.get();
    if (!h) return impl_->doGet(url, headers);
    HttpResponse r;
    CurlSetter s(h);
    TAVO_CURL_SET(s, CURLOPT_FRESH_CONNECT, 1L);
    TAVO_CURL_SET(s, CURLOPT_FORBID_REUSE, 1L);
    TAVO_CURL_SET(s, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    TAVO_CURL_SET(s, CURLOPT_TIMEOUT, 10L);
    if (s.ok())
        r = impl_->doGet(url, headers);
    else
        r.error = s.error();
    CurlSetter restore(h);
    TAVO_CURL_SET(restore, CURLOPT_FRESH_CONNECT, 0L);
    TAVO_CURL_SET(restore, CURLOPT_FORBID_REUSE, 0L);
    TAVO_CURL_SET(restore, CURLOPT_SSL_SESSIONID_CACHE, 1L);
    TAVO_CURL_SET(restore, CURLOPT_TIMEOUT, static_cast<long>(impl_->options.timeoutSeconds));
    if (!restore.ok()) impl_->setupError = restore.error();
    return r;
}

HttpResponse HttpClient::postRaw(const std::string& url, std::string_view body, const std::string& contentType,
                                 const HeaderMap& headers) {
    return impl_->doPostRaw(url, body, contentType, headers);
}

HttpResponse HttpClient::postRawFresh(const std::string& url, std::string_view body, const std::string& contentType,
                                      const HeaderMap& headers) {
    CURL* h = impl_->handle.get();
    if (!h) return impl_->doPostRaw(url, body, contentType, headers);
    HttpResponse r;
    if (CURLcode rc = curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L); rc != CURLE_OK) {
        r.error = std::string("libcurl refused CURLOPT_FRESH_CONNECT: ") + curl_easy_strerror(rc);
        return r;
    }
    r = impl_->doPostRaw(url, body, contentType, headers);
    curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 0L);
    return r;
}

std::string HttpClient::Impl::formBody(const HeaderMap& fields) const {
    std::string body;
    bool first = true;
    for (const auto& [name, value] : fields) {
        if (!first) body += '&';
        first = false;
        body += name;
        body += '=';
        CurlStringPtr escaped(curl_easy_escape(handle.get(), value.data(), static_cast<int>(value.size())));
        if (escaped) body += escaped.get();
    }
    return body;
}

namespace {
constexpr const char* kFormType = "application/x-www-form-urlencoded";

HeaderMap withFormType(const HeaderMap& headers) {
    HeaderMap withType = headers;
    withType["Content-Type"] = kFormType;
    return withType;
}
}  // namespace

HttpResponse HttpClient::postForm(const std::string& url, const HeaderMap& fields, const HeaderMap& headers) {
    return impl_->doPostRaw(url, impl_->formBody(fields), kFormType, withFormType(headers));
}

HttpResponse HttpClient::postFormFresh(const std::string& url, const HeaderMap& fields, const HeaderMap& headers) {
    return postRawFresh(url, impl_->formBody(fields), kFormType, withFormType(headers));
}

std::vector<std::uint8_t> HttpClient::downloadBinary(const std::string& url, const HeaderMap& headers) {
    std::vector<std::uint8_t> bytes;
    HttpResponse r;
    if (!impl_->usable(r)) {
        if (impl_->handle) Logger::warn("HttpClient: download of " + urlForLog(url) + " failed: " + r.error);
        return bytes;
    }
    Collector c(impl_->options.maxDownloadBytes);
    c.bytes = &bytes;
    Impl::Request request;
    request.url = url;
    request.headers = &headers;
    impl_->transfer(std::move(request), c, r, false);
    // A cut-off transfer must never pass for the whole file.
    if (!r.error.empty()) {
        Logger::warn("HttpClient: download of " + urlForLog(url) + " failed: " + r.error);
        return {};
    }
    return bytes;
}

std::string HttpClient::exportCookies() const {
    std::string out;
    CURL* h = impl_->handle.get();
    if (!h) return out;
    curl_slist* raw = nullptr;
    if (curl_easy_getinfo(h, CURLINFO_COOKIELIST, &raw) != CURLE_OK) return out;
    CurlSlistPtr cookies(raw);
    for (curl_slist* c = cookies.get(); c; c = c->next) {
        out += c->data;
        out += '\n';
    }
    return out;
}

void HttpClient::importCookies(const std::string&) {}

void HttpClient::clearCookies() {
    CURL* h = impl_->handle.get();
    if (!h) return;
    if (CURLcode rc = curl_easy_setopt(h, CURLOPT_COOKIELIST, "ALL"); rc != CURLE_OK)
        Logger::warn(std::string("HttpClient: libcurl refused CURLOPT_COOKIELIST (clear): ") + curl_easy_strerror(rc));
}

void HttpClient::setCookie(const std::string& name, const std::string& value, const std::string& domain,
                           const std::string& path, bool secure) {
    CURL* h = impl_->handle.get();
    if (!h) return;
    const bool dotted = !domain.empty() && domain.front() == '.';
    std::string line = domain + "\t" + (dotted ? "TRUE" : "FALSE") + "\t" + path + "\t" + (secure ? "TRUE" : "FALSE") +
                       "\t0\t" + name + "\t" + value;
    // A cookie that did not take (the taxpayer's context, say) must not pass
    // silently; its value stays out of the log.
    if (CURLcode rc = curl_easy_setopt(h, CURLOPT_COOKIELIST, line.c_str()); rc != CURLE_OK)
        Logger::warn("HttpClient: libcurl refused CURLOPT_COOKIELIST for cookie " + name + ": " +
                     curl_easy_strerror(rc));
}

void HttpClient::setClientCertId(const std::string& clientCertId) {
    impl_->options.clientCertId = clientCertId;
    impl_->applyClientCert();
}

}  // namespace tavo::core::infra::http
