#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "infrastructure/http/NapEndpoints.h"

namespace tavo::core::infra::http {

// Request and response headers and form fields; names compared exactly.
using HeaderMap = std::unordered_map<std::string, std::string>;

struct HttpClientOptions {
    std::string userAgent = "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36";
    bool followRedirects = true;
    std::int32_t maxRedirects = 10;
    std::int32_t timeoutSeconds = 60;
    // Kept for callers that set it; verification is never switched off.
    bool verifyPeer = true;
    // Empty: cookies live in memory only.
    std::string cookieFile;
    // "<slot>:<CKA_ID hex>" or a "pkcs11:" URI; empty: no client certificate.
    std::string clientCertId;
    // Empty: TAVO_PKCS11_MODULE from the environment.
    std::string pkcs11ModulePath;
    std::string pin;
    // Hosts a redirect may lead to (https, default port). Empty: the scheme,
    // host and port of the request that started the transfer. Any other
    // target ends the transfer before a byte goes there.
    std::vector<std::string> redirectHosts;
    // Addresses whose JSON answer is a list that grows with the user's
    // clients (an accounting office's taxpayers): held to maxBodyBytes, not
    // maxJsonBytes. Their readers bound what parsing them may cost.
    std::vector<std::string> largeJsonUrls;
    // Caps on answers collected in memory; past one the request fails (status
    // 0, an error naming the cap) and nothing partial is returned. JSON
    // answers (asked for with an Accept naming JSON, or labelled so) are held
    // to the smaller cap: reading JSON costs many times its size.
    std::size_t maxBodyBytes = kDefaultMaxBodyBytes;
    std::size_t maxJsonBytes = kDefaultMaxJsonBytes;
    std::size_t maxDownloadBytes = kDefaultMaxDownloadBytes;

    static constexpr std::size_t kDefaultMaxBodyBytes = 16u << 20;
    static constexpr std::size_t kDefaultMaxJsonBytes = 2u << 20;
    static constexpr std::size_t kDefaultMaxDownloadBytes = 64u << 20;
};

struct HttpResponse {
    std::int32_t status = 0;  // 0 when the transfer failed
    std::string body;
    HeaderMap headers;         // redirects' headers included; a later line of the same name wins
    std::string effectiveUrl;  // GET only
    std::string error;         // empty on success, else libcurl's text or the client's refusal
    // A POST whose body went out whole lost its answer: the server may have
    // acted on it. Only a caller that files can say what that means.
    bool outcomeUnknown = false;
    // The answer passed its cap; error names the limit.
    bool tooLarge = false;
};

// Ends the error of every POST whose answer was lost after its body went out.
inline constexpr const char* kLostPostAnswer =
    "Връзката прекъсна и отговорът на заявката не беше получен; заявката не е изпратена повторно.";
// What a request that files adds to a lost answer: the agency may hold the
// filing, so the user must look before filing again.
inline constexpr const char* kFilingMayHaveArrived =
    "НАП може да е получила декларацията: проверете списъка с подадените документи, преди да я подадете отново.";

// Default header sets of portal requests.
inline const HeaderMap kAcceptJson = {
    {"Accept", "application/json"},
    {"Origin", nap::kPortalBase},
    {"Referer", nap::kHomeHtml},
};
inline const HeaderMap kAcceptHtmlBrowser = {
    {"Accept", "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"},
    {"Accept-Language", "bg-BG,bg;q=0.9,en;q=0.8"},
    {"Upgrade-Insecure-Requests", "1"},
    {"Origin", nap::kPortalBase},
    {"Referer", nap::kHomeHtml},
};

// The one outbound HTTPS client: one libcurl handle with in-memory cookies,
// optionally presenting a smart-card certificate through the "pkcs11" engine.
// Serves one thread at a time. Failures arrive in HttpResponse::error.
class HttpClient {
public:
    explicit HttpClient(HttpClientOptions options);
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Every request has one deadline, taken when it starts (timeoutSeconds,
    // or getFresh's 10 seconds): its redirect hops share it, and a request
    // that runs out fails with libcurl's "Timeout was reached".
    HttpResponse get(const std::string& url, const HeaderMap& headers = {});
    // A GET on a new connection with a new TLS session (the client
    // certificate is presented again) and a 10-second limit.
    HttpResponse getFresh(const std::string& url, const HeaderMap& headers = {});
    // Every hop of a POST goes out on a connection of its own, closed after
    // it: libcurl resends a request whose reused connection died before any
    // answer, and a filing must reach the agency at most once. A POST that
    // fails after its body went out whole is never repeated: outcomeUnknown
    // is set, and the error is the cause, " — " and kLostPostAnswer (an
    // answer refused by its cap: the cause alone).
    HttpResponse postForm(const std::string& url, const HeaderMap& fields, const HeaderMap& headers = {});
    // The body is not copied: it must outlive the call only.
    HttpResponse postRaw(const std::string& url, std::string_view body, const std::string& contentType,
                         const HeaderMap& headers = {});
    HttpResponse postRawFresh(const std::string& url, std::string_view body, const std::string& contentType,
                              const HeaderMap& headers = {});
    // The body; empty (with a warning in the log) when the transfer failed or
    // passed maxDownloadBytes. An HTTP error status still yields the error
    // page's body.
    std::vector<std::uint8_t> downloadBinary(const std::string& url, const HeaderMap& headers = {});

    // Every cookie as one Netscape cookie-file line, each followed by "\n".
    std::string exportCookies() const;
    void importCookies(const std::string& cookies);
    void clearCookies();
    void setCookie(const std::string& name, const std::string& value, const std::string& domain,
                   const std::string& path, bool secure);

    void setClientCertId(const std::string& clientCertId);

    const HttpClientOptions& options() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tavo::core::infra::http
