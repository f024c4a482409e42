#include "infrastructure/http/HttpClient.h"

#include <curl/curl.h>

#include <cstdlib>

#include "common/Logger.h"
#include "infrastructure/http/CurlHandles.h"
#include "infrastructure/http/CurlText.h"
#include "infrastructure/http/Pkcs11Engine.h"
#include "infrastructure/http/TestSeam.h"

namespace tavo::core::infra::http {
namespace {

constexpr const char* kNoHandle = "curl handle not initialised";

// libcurl's informational lines only; headers and data never reach the log.
int debugCallback(CURL*, curl_infotype type, char* data, size_t size, void*) {
    if (type != CURLINFO_TEXT || !data) return 0;
    std::string_view text(data, size);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
    if (!text.empty()) Logger::info("curl: " + redactCurlInfo(text));
    return 0;
}

size_t appendToString(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

size_t appendToBytes(char* data, size_t size, size_t count, void* out) {
    auto* bytes = static_cast<std::vector<std::uint8_t>*>(out);
    bytes->insert(bytes->end(), reinterpret_cast<const std::uint8_t*>(data),
                  reinterpret_cast<const std::uint8_t*>(data) + size * count);
    return size * count;
}

size_t collectHeader(char* data, size_t size, size_t count, void* out) {
    if (auto header = parseHeaderLine(std::string_view(data, size * count)))
        (*static_cast<HeaderMap*>(out))[header->first] = std::move(header->second);
    return size * count;
}

size_t discardHeader(char*, size_t size, size_t count, void*) {
    return size * count;
}

CurlSlistPtr headerLines(const HeaderMap& headers, const std::string& firstLine = {}) {
    CurlSlistPtr list;
    if (!firstLine.empty()) appendLine(list, firstLine.c_str());
    for (const auto& [name, value] : headers) appendLine(list, (name + ": " + value).c_str());
    return list;
}

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// "<digits>:<even number of hex digits>", the PKCS#11 signer's certificate id.
bool isSlotAndIdPair(const std::string& id) {
    std::size_t colon = id.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    for (std::size_t i = 0; i < colon; ++i)
        if (id[i] < '0' || id[i] > '9') return false;
    std::size_t hexLen = id.size() - colon - 1;
    if (hexLen == 0 || hexLen % 2 != 0) return false;
    for (std::size_t i = colon + 1; i < id.size(); ++i)
        if (!isHex(id[i])) return false;
    return true;
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

    explicit Impl(HttpClientOptions o) : options(std::move(o)) {}

    CURLcode transfer(CURL* h) { return cardKey ? performWithCardKey(h, options.pin) : curl_easy_perform(h); }

    void configure();
    void applyClientCert();
    HttpResponse perform(HttpResponse& r, bool isGet);
    HttpResponse doGet(const std::string& url, const HeaderMap& headers);
    HttpResponse doPostRaw(const std::string& url, std::string_view body, const std::string& contentType,
                           const HeaderMap& headers);
};

void HttpClient::Impl::configure() {
    CURL* h = handle.get();
    curl_easy_setopt(h, CURLOPT_USERAGENT, options.userAgent.c_str());
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, options.followRedirects ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, static_cast<long>(options.maxRedirects));
    curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(options.timeoutSeconds));
    // Verification stays on whatever the options say: a client that trusts
    // any server would hand the session cookie and PIN-backed login to it.
    if (!options.verifyPeer) Logger::warn("HttpClient: verifyPeer=false ignored — server verification stays on");
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, &debugCallback);
    curl_easy_setopt(h, CURLOPT_DEBUGDATA, this);
    curl_easy_setopt(h, CURLOPT_COOKIEFILE, options.cookieFile.c_str());
    if (!options.cookieFile.empty()) curl_easy_setopt(h, CURLOPT_COOKIEJAR, options.cookieFile.c_str());
    testSeam = applyTestSeam(h);
}

void HttpClient::Impl::applyClientCert() {
    const std::string& id = options.clientCertId;
    cardKey = false;
    if (id.empty() || !handle) return;
    CURL* h = handle.get();
    const bool isUri = id.rfind("pkcs11:", 0) == 0;
    if (!isUri && !isSlotAndIdPair(id)) {
        Logger::warn(
            "HttpClient: Keychain cert ref path in use — mTLS may fail on OpenSSL-backed libcurl. For smart cards use "
            "a '<slot>:<CKA_ID-hex>' cert id instead.");
        curl_easy_setopt(h, CURLOPT_SSLCERT, id.c_str());
        curl_easy_setopt(h, CURLOPT_SSLCERTTYPE, "P12");
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
    curl_easy_setopt(h, CURLOPT_SSLENGINE, "pkcs11");
    curl_easy_setopt(h, CURLOPT_SSLENGINE_DEFAULT, 1L);
    curl_easy_setopt(h, CURLOPT_SSLCERT, name.c_str());
    curl_easy_setopt(h, CURLOPT_SSLCERTTYPE, "ENG");
    curl_easy_setopt(h, CURLOPT_SSLKEY, name.c_str());
    curl_easy_setopt(h, CURLOPT_SSLKEYTYPE, "ENG");

    // The PIN goes to the engine at each transfer, not here: it is the
    // engine's one PIN for the whole process.
    cardKey = true;
    Logger::info("HttpClient: using PKCS#11 engine, cert=" + name +
                 (options.pin.empty() ? " [no PIN supplied]" : " [PIN set]"));
}

HttpResponse HttpClient::Impl::perform(HttpResponse& r, bool isGet) {
    CURL* h = handle.get();
    CURLcode rc = transfer(h);
    // The lists of this request die with it: never leave the handle pointing
    // at one.
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
    if (rc != CURLE_OK) {
        r.error = curl_easy_strerror(rc);
        return std::move(r);
    }
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    r.status = static_cast<std::int32_t>(status);
    if (isGet) {
        char* url = nullptr;
        if (curl_easy_getinfo(h, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url) r.effectiveUrl = url;
    }
    return std::move(r);
}

HttpResponse HttpClient::Impl::doGet(const std::string& url, const HeaderMap& headers) {
    HttpResponse r;
    if (!handle) {
        r.error = kNoHandle;
        return r;
    }
    CURL* h = handle.get();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &appendToString);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &r.body);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &collectHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &r.headers);
    CurlSlistPtr lines = headerLines(headers);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, lines.get());
    return perform(r, true);
}

HttpResponse HttpClient::Impl::doPostRaw(const std::string& url, std::string_view body, const std::string& contentType,
                                         const HeaderMap& headers) {
    HttpResponse r;
    if (!handle) {
        r.error = kNoHandle;
        return r;
    }
    CURL* h = handle.get();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    // A null pointer would make libcurl read the body from standard input.
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.empty() ? "" : body.data());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &appendToString);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &r.body);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &collectHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &r.headers);
    std::string typeLine;
    if (!headers.count("Content-Type") && !headers.count("content-type")) {
        // "Content-Type:" with no value keeps libcurl from adding its own
        // form type to a body that is not a form.
        typeLine = contentType.empty() ? "Content-Type:" : "Content-Type: " + contentType;
    }
    CurlSlistPtr lines = headerLines(headers, typeLine);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, lines.get());
    return perform(r, false);
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
    curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, 10L);
    HttpResponse r = impl_->doGet(url, headers);
    curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 0L);
    curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_SESSIONID_CACHE, 1L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(impl_->options.timeoutSeconds));
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
    curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L);
    HttpResponse r = impl_->doPostRaw(url, body, contentType, headers);
    curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 0L);
    return r;
}

HttpResponse HttpClient::postForm(const std::string& url, const HeaderMap& fields, const HeaderMap& headers) {
    std::string body;
    bool first = true;
    for (const auto& [name, value] : fields) {
        if (!first) body += '&';
        first = false;
        body += name;
        body += '=';
        CurlStringPtr escaped(curl_easy_escape(impl_->handle.get(), value.data(), static_cast<int>(value.size())));
        if (escaped) body += escaped.get();
    }
    HeaderMap withType = headers;
    withType["Content-Type"] = "application/x-www-form-urlencoded";
    return impl_->doPostRaw(url, body, "application/x-www-form-urlencoded", withType);
}

std::vector<std::uint8_t> HttpClient::downloadBinary(const std::string& url, const HeaderMap& headers) {
    std::vector<std::uint8_t> bytes;
    CURL* h = impl_->handle.get();
    if (!h) return bytes;
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &appendToBytes);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &bytes);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &discardHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, nullptr);
    CurlSlistPtr lines = headerLines(headers);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, lines.get());
    CURLcode rc = impl_->transfer(h);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
    // A cut-off transfer must never pass for the whole file.
    if (rc != CURLE_OK) {
        Logger::warn("HttpClient: download of " + urlForLog(url) + " failed: " + curl_easy_strerror(rc));
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
    if (CURL* h = impl_->handle.get()) curl_easy_setopt(h, CURLOPT_COOKIELIST, "ALL");
}

void HttpClient::setCookie(const std::string& name, const std::string& value, const std::string& domain,
                           const std::string& path, bool secure) {
    CURL* h = impl_->handle.get();
    if (!h) return;
    const bool dotted = !domain.empty() && domain.front() == '.';
    std::string line = domain + "\t" + (dotted ? "TRUE" : "FALSE") + "\t" + path + "\t" + (secure ? "TRUE" : "FALSE") +
                       "\t0\t" + name + "\t" + value;
    curl_easy_setopt(h, CURLOPT_COOKIELIST, line.c_str());
}

void HttpClient::setClientCertId(const std::string& clientCertId) {
    impl_->options.clientCertId = clientCertId;
    impl_->applyClientCert();
}

}  // namespace tavo::core::infra::http
