#include "infrastructure/http/HttpClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
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
constexpr std::chrono::seconds kFreshLimit{10};

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
    // A callback's own reason only when it is what ended the transfer.
    std::string error(CURLcode rc) const {
        if (rc == CURLE_WRITE_ERROR && sink.exceeded()) return sink.error();
        if (rc == CURLE_WRITE_ERROR && failed) return "out of memory while reading the answer";
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
        if (c->jsonCap && common::ascii::equalsNoCase(header->first, "Content-Type") && mentionsJson(header->second))
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
    return common::ascii::equalsNoCase(name, "Authorization") || common::ascii::equalsNoCase(name, "Cookie");
}

CurlSlistPtr headerLines(const HeaderMap& headers, const std::string& firstLine, bool sameHost, bool post) {
    CurlSlistPtr list;
    if (!firstLine.empty()) appendLine(list, firstLine.c_str());
    // No "Expect: 100-continue": after a 417 libcurl would send the body again.
    if (post) appendLine(list, "Expect:");
    for (const auto& [name, value] : headers) {
        if (!sameHost && staysWithItsHost(name)) continue;
        std::string line = name;
        line += ": ";
        line += value;
        appendLine(list, line.c_str());
    }
    return list;
}

// The refusal of a header whose name or value would end its line and start
// another one on the wire; nothing when every header is clean.
std::optional<std::string> refusedHeader(const HeaderMap& headers, std::string_view contentTypeLine) {
    std::vector<std::pair<std::string_view, std::string_view>> all;
    for (const auto& [name, value] : headers) all.emplace_back(name, value);
    all.emplace_back("Content-Type", contentTypeLine);
    std::optional<std::string> bad = headerWithLineBreak(all);
    if (!bad) return std::nullopt;
    return "header \"" + common::utf8::escapeForLog(*bad) + "\" refused: its value holds a line break or NUL";
}

// The module the engine loads: the options' path, else TAVO_PKCS11_MODULE.
void pointEngineAtModule(std::string modulePath) {
    if (modulePath.empty()) {
        if (const char* env = std::getenv("TAVO_PKCS11_MODULE")) modulePath = env;
    }
    if (modulePath.empty()) {
        Logger::warn(
            "HttpClient: PKCS#11 cert id but no module path configured — set TAVO_PKCS11_MODULE or "
            "HttpClientOptions.pkcs11ModulePath");
        return;
    }
    setPkcs11ModulePathOnce(modulePath);
    Logger::info("HttpClient: PKCS#11 module = " + modulePath);
}

// The engine's name of the card's certificate and key: a URI as it stands,
// "<slot>:<hex>" as "slot_<slot>-id_<hex>".
std::string engineKeyName(const std::string& id, bool isUri) {
    if (isUri) return id;
    const std::size_t colon = id.find(':');
    return "slot_" + id.substr(0, colon) + "-id_" + id.substr(colon + 1);
}

bool isRedirectStatus(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
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

    // One request: the method, address and body a transfer starts with.
    struct Request {
        std::string url;
        bool post = false;
        std::string_view body;
        std::string contentTypeLine;  // first header line of a POST; empty: none
        const HeaderMap* headers = nullptr;
        bool fresh = false;             // a new connection and TLS session for every hop
        std::chrono::seconds limit{0};  // for the whole request, redirects included; 0: none
    };

    // One request on its way through its redirect hops.
    struct Chain {
        Request request;
        Deadline deadline;  // taken when the request starts
        UrlParts origin;    // where the request started
        UrlParts current;   // the hop under way
        bool sameHost = true;
        long followed = 0;
        // A POST hop's body went out whole: the server may have acted on it.
        bool bodySent = false;
        CurlSlistPtr lines;

        explicit Chain(Request r);
    };

    void configure();
    void applyClientCert();
    void applyKeychainCert(const std::string& id);
    bool selectCardEngine(const std::string& name);
    long redirectLimit() const;
    std::optional<std::string> redirectRefusal(const UrlParts& origin, const std::string& target) const;
    // A request of this client: its address, headers and time limit.
    Request newRequest(const std::string& url, const HeaderMap& headers) const;
    // Runs the request, following redirects itself so that each target is
    // checked before a connection to it is even opened. Fills status,
    // effectiveUrl (when wanted) and error; the collector receives the body.
    void transfer(Request request, Collector& collector, HttpResponse& r, bool wantUrl);
    // One hop; true when a redirect is to be followed next.
    bool runHop(Chain& chain, Collector& collector, HttpResponse& r, bool wantUrl);
    // Sets the handle up for the chain's next hop; the refusal's text or empty.
    std::string prepareHop(const Chain& chain, Collector& collector);
    void noteBodySent(Chain& chain) const;
    // Turns the chain toward a redirect's target; false (error set) when the
    // target may not be followed.
    bool follow(Chain& chain, long status, std::string next, HttpResponse& r);
    void settleFailure(const Chain& chain, Collector& collector, HttpResponse& r) const;
    HttpResponse doGet(const std::string& url, const HeaderMap& headers, bool fresh = false);
    HttpResponse doPostRaw(const std::string& url, std::string_view body, const std::string& contentType,
                           const HeaderMap& headers);
    Collector textCollector(HttpResponse& r, const std::string& url, const HeaderMap& headers) const;
    // Checks and applies the options of one request; false with r.error set.
    bool usable(HttpResponse& r) const;
};

HttpClient::Impl::Chain::Chain(Request r) : request(std::move(r)), deadline(request.limit) {
    origin = parseUrl(request.url).value_or(UrlParts{});
    current = origin;
    lines = headerLines(*request.headers, request.contentTypeLine, sameHost, request.post);
}

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
    // Checked here; each hop then gets the time its request has left.
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
    const bool isUri = id.rfind("pkcs11:", 0) == 0;
    if (!isUri && !common::certid::isSlotAndKeyId(id)) {
        applyKeychainCert(id);
        return;
    }
    pointEngineAtModule(options.pkcs11ModulePath);
    ensurePkcs11EngineLoaded();
    const std::string name = engineKeyName(id, isUri);
    if (!selectCardEngine(name)) return;
    // A later certificate id that works clears an earlier engine failure.
    setupError.clear();
    // The PIN goes to the engine at each transfer, not here: it is the
    // engine's one PIN for the whole process.
    cardKey = true;
    Logger::info("HttpClient: using PKCS#11 engine, cert=" + common::utf8::escapeForLog(name) +
                 (options.pin.empty() ? " [no PIN supplied]" : " [PIN set]"));
}

void HttpClient::Impl::applyKeychainCert(const std::string& id) {
    Logger::warn(
        "HttpClient: Keychain cert ref path in use — mTLS may fail on OpenSSL-backed libcurl. For smart cards use "
        "a '<slot>:<CKA_ID-hex>' cert id instead.");
    CurlSetter s(handle.get());
    TAVO_CURL_SET(s, CURLOPT_SSLCERT, id.c_str());
    TAVO_CURL_SET(s, CURLOPT_SSLCERTTYPE, "P12");
    if (!s.ok() && setupError.empty()) setupError = s.error();
}

// Certificate and key from the card through the engine; false, with
// setupError set and logged, when libcurl refuses.
bool HttpClient::Impl::selectCardEngine(const std::string& name) {
    CURL* h = handle.get();
    // Without the engine the card cannot sign the handshake: say so now, not
    // as a certificate error of the first request.
    if (CURLcode rc = curl_easy_setopt(h, CURLOPT_SSLENGINE, "pkcs11"); rc != CURLE_OK) {
        setupError = std::string("the smart card's pkcs11 engine could not be selected: ") + curl_easy_strerror(rc);
        Logger::error("HttpClient: " + setupError);
        return false;
    }
    CurlSetter s(h);
    TAVO_CURL_SET(s, CURLOPT_SSLENGINE_DEFAULT, 1L);
    TAVO_CURL_SET(s, CURLOPT_SSLCERT, name.c_str());
    TAVO_CURL_SET(s, CURLOPT_SSLCERTTYPE, "ENG");
    TAVO_CURL_SET(s, CURLOPT_SSLKEY, name.c_str());
    TAVO_CURL_SET(s, CURLOPT_SSLKEYTYPE, "ENG");
    if (s.ok()) return true;
    setupError = s.error();
    Logger::error("HttpClient: set-up failed: " + setupError);
    return false;
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
            if (common::ascii::equalsNoCase(parts->host, host)) return std::nullopt;
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

Collector HttpClient::Impl::textCollector(HttpResponse& r, const std::string& url, const HeaderMap& headers) const {
    Collector c(options.maxBodyBytes);
    c.text = &r.body;
    c.headers = &r.headers;
    if (std::find(options.largeJsonUrls.begin(), options.largeJsonUrls.end(), url) != options.largeJsonUrls.end())
        return c;
    c.jsonCap = options.maxJsonBytes;
    for (const auto& [name, value] : headers)
        if (common::ascii::equalsNoCase(name, "Accept") && mentionsJson(value))
            c.sink.setCap(std::min(options.maxBodyBytes, options.maxJsonBytes));
    return c;
}

HttpClient::Impl::Request HttpClient::Impl::newRequest(const std::string& url, const HeaderMap& headers) const {
    Request request;
    request.url = url;
    request.headers = &headers;
    request.limit = std::chrono::seconds(options.timeoutSeconds);
    return request;
}

void HttpClient::Impl::transfer(Request request, Collector& collector, HttpResponse& r, bool wantUrl) {
    if (std::optional<std::string> refusal = refusedHeader(*request.headers, request.contentTypeLine)) {
        r.error = *refusal;
        Logger::warn("HttpClient: " + r.error);
        return;
    }
    Chain chain(std::move(request));
    while (runHop(chain, collector, r, wantUrl)) {
    }
    // The lists of this request die with it: never leave the handle pointing
    // at one.
    curl_easy_setopt(handle.get(), CURLOPT_HTTPHEADER, nullptr);
    if (!r.error.empty() && collector.sink.exceeded()) {
        r.tooLarge = true;
        // A caller may keep only yes or no (the session check): the reason is
        // logged here for every one.
        if (collector.text)
            Logger::warn("HttpClient: the answer from " + urlForLog(chain.request.url) + " was refused: " + r.error);
    }
    if (!r.error.empty()) settleFailure(chain, collector, r);
    if (collector.text) collector.sink.moveTo(*collector.text);
    if (collector.bytes) collector.sink.moveTo(*collector.bytes);
}

bool HttpClient::Impl::runHop(Chain& chain, Collector& collector, HttpResponse& r, bool wantUrl) {
    CURL* h = handle.get();
    if (std::string refused = prepareHop(chain, collector); !refused.empty()) {
        r.error = std::move(refused);
        return false;
    }
    const CURLcode rc = cardKey ? performWithCardKey(h, options.pin, nullptr, &chain.deadline) : curl_easy_perform(h);
    noteBodySent(chain);
    if (rc != CURLE_OK) {
        r.error = collector.error(rc);
        return false;
    }
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    char* location = nullptr;
    if (!options.followRedirects || !isRedirectStatus(status) ||
        curl_easy_getinfo(h, CURLINFO_REDIRECT_URL, &location) != CURLE_OK || !location) {
        r.status = static_cast<std::int32_t>(status);
        char* url = nullptr;
        if (wantUrl && curl_easy_getinfo(h, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url) r.effectiveUrl = url;
        return false;
    }
    return follow(chain, status, location, r);
}

std::string HttpClient::Impl::prepareHop(const Chain& chain, Collector& collector) {
    const Request& q = chain.request;
    CURL* h = handle.get();
    CurlSetter s(h);
    TAVO_CURL_SET(s, CURLOPT_URL, q.url.c_str());
    if (q.post) {
        TAVO_CURL_SET(s, CURLOPT_POST, 1L);
        // A null pointer would make libcurl read the body from standard input.
        TAVO_CURL_SET(s, CURLOPT_POSTFIELDS, q.body.empty() ? "" : q.body.data());
        TAVO_CURL_SET(s, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(q.body.size()));
    } else {
        TAVO_CURL_SET(s, CURLOPT_HTTPGET, 1L);
    }
    // libcurl resends a request whose reused connection died before any
    // answer: no POST hop rides on one, nor leaves its own for the next.
    const long own = q.post || q.fresh ? 1L : 0L;
    TAVO_CURL_SET(s, CURLOPT_FRESH_CONNECT, own);
    TAVO_CURL_SET(s, CURLOPT_FORBID_REUSE, own);
    TAVO_CURL_SET(s, CURLOPT_SSL_SESSIONID_CACHE, q.fresh ? 0L : 1L);
    TAVO_CURL_SET(s, CURLOPT_WRITEFUNCTION, &writeBody);
    TAVO_CURL_SET(s, CURLOPT_WRITEDATA, &collector);
    TAVO_CURL_SET(s, CURLOPT_HEADERFUNCTION, &collectHeader);
    TAVO_CURL_SET(s, CURLOPT_HEADERDATA, &collector);
    TAVO_CURL_SET(s, CURLOPT_HTTPHEADER, chain.lines.get());
    if (s.ok())
        if (CURLcode rc = chain.deadline.arm(h); rc != CURLE_OK) s.fail(curl_easy_strerror(rc));
    // A redirect's own body is not the answer.
    collector.sink.clear();
    return s.error();
}

void HttpClient::Impl::noteBodySent(Chain& chain) const {
    if (!chain.request.post || chain.bodySent) return;
    CURL* h = handle.get();
    long requestBytes = 0;
    curl_off_t uploaded = 0;
    // What cannot be read counts as sent: "may have been received" is the
    // safe thing to tell the user.
    if (curl_easy_getinfo(h, CURLINFO_REQUEST_SIZE, &requestBytes) != CURLE_OK ||
        curl_easy_getinfo(h, CURLINFO_SIZE_UPLOAD_T, &uploaded) != CURLE_OK) {
        chain.bodySent = true;
        return;
    }
    const auto bodyBytes = static_cast<curl_off_t>(chain.request.body.size());
    chain.bodySent = bodyBytes > 0 ? uploaded >= bodyBytes : requestBytes > 0;
}

bool HttpClient::Impl::follow(Chain& chain, long status, std::string next, HttpResponse& r) {
    if (chain.followed >= redirectLimit()) {
        r.error = curl_easy_strerror(CURLE_TOO_MANY_REDIRECTS);
        return false;
    }
    if (std::optional<std::string> refusal = redirectRefusal(chain.origin, next)) {
        r.error = *refusal;
        Logger::warn("HttpClient: " + *refusal);
        return false;
    }
    ++chain.followed;
    Logger::info("HttpClient: redirect " + std::to_string(status) + " to " + urlForLog(next));
    std::optional<UrlParts> target = parseUrl(next);
    if (chain.sameHost && target && !sameOrigin(*target, chain.current)) chain.sameHost = false;
    Request& q = chain.request;
    // 303, and 301/302 after a POST, continue as a GET, as browsers do;
    // 307 and 308 repeat the request as it was.
    if (q.post && (status == 301 || status == 302 || status == 303)) {
        q.post = false;
        q.contentTypeLine.clear();
    }
    chain.lines = headerLines(*q.headers, q.contentTypeLine, chain.sameHost, q.post);
    q.url = std::move(next);
    if (target) chain.current = *target;
    return true;
}

// Nothing partial is returned. Once a POST body went out whole the server may
// have acted on it: the request is not repeated, and the error says so. Only
// a caller that files may tell the user the agency may hold the filing.
void HttpClient::Impl::settleFailure(const Chain& chain, Collector& collector, HttpResponse& r) const {
    r.status = 0;
    collector.sink.clear();
    if (!chain.bodySent) return;
    Logger::error(std::string("HttpClient: the answer to a POST was ") + (r.tooLarge ? "refused" : "lost") +
                  " after its body was sent, at " + urlForLog(chain.request.url) + " (" +
                  common::utf8::escapeForLog(r.error) + "); the outcome is unknown and the request is not repeated");
    r.outcomeUnknown = true;
    // An answer its cap refused did arrive: the connection did not break.
    if (!r.tooLarge) r.error += std::string(" — ") + kLostPostAnswer;
}

HttpResponse HttpClient::Impl::doGet(const std::string& url, const HeaderMap& headers, bool fresh) {
    HttpResponse r;
    if (!usable(r)) return r;
    Collector c = textCollector(r, url, headers);
    Request request = newRequest(url, headers);
    if (fresh) {
        request.fresh = true;
        request.limit = kFreshLimit;
    }
    transfer(std::move(request), c, r, true);
    return r;
}

HttpResponse HttpClient::Impl::doPostRaw(const std::string& url, std::string_view body, const std::string& contentType,
                                         const HeaderMap& headers) {
    HttpResponse r;
    if (!usable(r)) return r;
    Collector c = textCollector(r, url, headers);
    Request request = newRequest(url, headers);
    request.post = true;
    request.body = body;
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
    return impl_->doGet(url, headers, true);
}

HttpResponse HttpClient::postRaw(const std::string& url, std::string_view body, const std::string& contentType,
                                 const HeaderMap& headers) {
    return impl_->doPostRaw(url, body, contentType, headers);
}

HttpResponse HttpClient::postRawFresh(const std::string& url, std::string_view body, const std::string& contentType,
                                      const HeaderMap& headers) {
    return impl_->doPostRaw(url, body, contentType, headers);
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

std::vector<std::uint8_t> HttpClient::downloadBinary(const std::string& url, const HeaderMap& headers) {
    std::vector<std::uint8_t> bytes;
    HttpResponse r;
    if (!impl_->usable(r)) {
        if (impl_->handle) Logger::warn("HttpClient: download of " + urlForLog(url) + " failed: " + r.error);
        return bytes;
    }
    Collector c(impl_->options.maxDownloadBytes);
    c.bytes = &bytes;
    impl_->transfer(impl_->newRequest(url, headers), c, r, false);
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
