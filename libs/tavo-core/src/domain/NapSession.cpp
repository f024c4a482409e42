#include "domain/NapSession.h"
#include "domain/NapSessionTesting.h"

#include <chrono>
#include <mutex>
#include <utility>

#include "common/Base64.h"
#include "common/CertificateId.h"
#include "common/Logger.h"
#include "common/Numbers.h"
#include "common/Pause.h"
#include "common/PercentEncode.h"
#include "common/Utf8.h"
#include "infrastructure/auth/LoginFlow.h"
#include "infrastructure/auth/SessionValidator.h"
#include "infrastructure/http/CurlText.h"
#include "infrastructure/http/HttpClient.h"
#include "infrastructure/http/HttpClientFactory.h"
#include "infrastructure/http/NapAddresses.h"
#include "infrastructure/http/NapEndpoints.h"
#include "operations/IPortalHandler.h"
#include "operations/OperationTypes.h"

namespace tavo::core::domain {
namespace {

using infra::http::HttpClient;
using infra::http::HttpResponse;
namespace nap = infra::nap;

// Process-wide: built at start, never cleared (but by the test rig between
// tests), so references stay valid.
std::mutex g_taxpayersMutex;
std::unordered_map<std::string, std::vector<TaxpayerInfo>> g_taxpayersByCert;
std::mutex g_categoriesMutex;
std::vector<NapCategory> g_categoryCache;
bool g_categoriesLoaded = false;

const std::string kEikNotFound = "Фирма с избрания ЕИК не е намерена в списъка на задължените лица";

void pause(int seconds) {
    common::pauseFor(std::chrono::seconds(seconds));
}

bool isSuccess(int status) {
    return status >= 200 && status <= 299;
}
bool isDenied(int status) {
    return status == 401 || status == 405;
}

std::string base64(const std::string& text) {
    return common::base64::encode(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

// Remote text as one safe log line of at most maxBytes of the original.
std::string forLog(const std::string& text, size_t maxBytes) {
    return common::utf8::escapeForLog(common::utf8::cut(text, maxBytes));
}

// The user's words for an answer refused by a cap, with the cap's reason.
std::string notReadTooLarge(const std::string& subject, const std::string& reason) {
    return subject + " не беше прочетен: надхвърля допустимия размер (" + reason + ")";
}

// lastError: set when a cap refused the answer; the caller sees only status 0.
NapSession::Response toResponse(HttpResponse&& response, std::string& lastError) {
    NapSession::Response out;
    if (response.tooLarge) lastError = notReadTooLarge("Отговорът на НАП", response.error);
    // A failed transfer leaves whatever arrived in the body: never pass on a
    // partial answer.
    if (!response.error.empty()) return out;
    out.status = response.status;
    out.body = std::move(response.body);
    out.headers = std::move(response.headers);
    out.effectiveUrl = std::move(response.effectiveUrl);
    return out;
}

// Names both taxpayers: the one asked for (its EIK when known) and the one the
// portal answered with.
std::string otherTaxpayerMessage(const std::string& askedEik, int64_t askedTin, const SelectedTaxpayer& answered,
                                 bool answeredOutOfRange) {
    std::string asked = askedEik.empty() ? std::string() : "ЕИК " + askedEik + " ";
    asked += "(tin " + std::to_string(askedTin) + ")";
    std::string other =
        answeredOutOfRange ? std::string("tin извън допустимия обхват") : "tin " + std::to_string(answered.tin);
    if (!answered.pin.empty()) other += " (ЕИК " + forLog(answered.pin, 64) + ")";
    return "Порталът избра друго задължено лице: поискано е " + asked + ", а порталът върна " + other +
           ". Операцията е спряна, нищо не е подадено.";
}

}  // namespace

struct NapSession::Impl {
    SenderIdentity identity;
    std::string pin;
    signing::ISigner* signer = nullptr;
    stampit::StampItBridge* bridge = nullptr;
    bool authenticated = false;
    std::string lastError;
    std::optional<SelectedTaxpayer> selectedTaxpayer;
    std::string selectedServiceLinkId;
    int32_t currentSystemId = 0;
    bool authRetrying = false;
    std::string csrfToken;
    std::unique_ptr<HttpClient> client;
    // The last select answer that named a taxpayer other than the one asked
    // for (tin unreadable when tinOutOfRange), for the caller's message.
    std::optional<SelectedTaxpayer> otherTaxpayer;
    bool otherTinOutOfRange = false;
    int64_t otherAskedTin = 0;

    // A card whose PIN was not given stays out of the client: the libp11
    // engine is process-wide and would load its key with whatever PIN it last
    // held, another card's among them. Portal pages need no certificate; the
    // login refuses itself first (needsPin).
    HttpClient& httpClient() {
        if (!client) {
            client =
                infra::http::HttpClientFactory::forNapPortal(needsPin() ? std::string() : identity.certificateId, pin);
        }
        return *client;
    }

    bool needsPin() const { return pin.empty() && common::certid::isSmartCard(identity.certificateId); }

    // Why the answer of the session's last read (taxpayer list, catalogue,
    // taxpayer select) gave nothing, when a cap refused it: a list too large
    // is no lapsed session and no missing service. Completes that step's
    // message.
    std::string refusal;
    void refuseTaxpayerList(const std::string& reason) {
        refusal = notReadTooLarge("списъкът на задължените лица", reason);
        lastError = notReadTooLarge("Списъкът на задължените лица", reason);
    }
    // The step's message, with the cap's refusal when there was one.
    std::string withRefusal(const std::string& message) const {
        return refusal.empty() ? message : message + " (" + refusal + ")";
    }
};

NapSession::NapSession() : impl_(std::make_unique<Impl>()) {}
NapSession::~NapSession() = default;

void NapSession::setIdentity(SenderIdentity identity) {
    bool otherCertificate = identity.certificateId != impl_->identity.certificateId;
    impl_->identity = std::move(identity);
    if (otherCertificate) {
        impl_->client.reset();
        resetSessionState();
        // A PIN belongs to the card it was given for: offered to another card
        // it would be refused and use up that card's retries.
        impl_->pin.clear();
    }
}

void NapSession::setPin(std::string pin) {
    if (pin == impl_->pin) return;
    impl_->pin = std::move(pin);
    // The PIN is part of the client's certificate setup: the next request builds
    // a new one.
    impl_->client.reset();
}

void NapSession::setSigner(signing::ISigner* signer) {
    impl_->signer = signer;
}
void NapSession::setStampItBridge(stampit::StampItBridge* bridge) {
    impl_->bridge = bridge;
}
const SenderIdentity& NapSession::identity() const {
    return impl_->identity;
}
const std::string& NapSession::pin() const {
    return impl_->pin;
}
signing::ISigner* NapSession::signer() const {
    return impl_->signer;
}
stampit::StampItBridge* NapSession::stampItBridge() const {
    return impl_->bridge;
}
const std::string& NapSession::lastError() const {
    return impl_->lastError;
}
const std::string& NapSession::csrfToken() const {
    return impl_->csrfToken;
}

void NapSession::resetSessionState() {
    if (impl_->client) impl_->client->clearCookies();
    impl_->authenticated = false;
    impl_->selectedTaxpayer.reset();
    impl_->selectedServiceLinkId.clear();
    impl_->currentSystemId = 0;
    impl_->csrfToken.clear();
}

void NapSession::installCookie(const std::string& name, const std::string& value) {
    impl_->httpClient().setCookie(name, value, nap::kPortalHost, "/", false);
}

bool NapSession::login() {
    impl_->lastError.clear();
    if (impl_->identity.certificateId.empty()) {
        impl_->lastError = "Не е избран сертификат (certificateId is empty).";
        Logger::warn("NapSession::login: " + impl_->lastError);
        return false;
    }
    if (impl_->needsPin()) {
        impl_->lastError = "Необходим е PIN код: не е зададен PIN за картата на сертификат " +
                           forLog(impl_->identity.certificateId, 200) + ".";
        Logger::warn("NapSession::login: " + impl_->lastError);
        return false;
    }
    HttpClient& client = impl_->httpClient();
    infra::auth::LoginFlow flow(client, nullptr, impl_->identity.certificateId, {});
    bool ok = flow.login();
    impl_->authenticated = ok;
    if (ok) {
        installCookie("loggedIn", "dHJ1ZQ==");
        installCookie("es-onb", "initial");
    } else {
        impl_->lastError = flow.lastError().empty() ? std::string("login failed (no detailed error from LoginFlow)")
                                                    : flow.lastError();
        Logger::warn("NapSession::login failed: " + impl_->lastError);
    }
    return ok;
}

bool NapSession::isAuthenticated() const {
    if (!impl_->authenticated || !impl_->client) return false;
    return infra::auth::SessionValidator(*impl_->client).isValid();
}

bool NapSession::ensureLoggedIn() {
    if (isAuthenticated()) return true;
    Logger::info("NapSession::ensureLoggedIn: session not active — calling login()");
    return login();
}

void NapSession::logout() {
    resetSessionState();
}

void NapSession::refreshCsrfToken() {
    impl_->csrfToken.clear();
    auto response = impl_->httpClient().get(std::string(nap::kPortalBase) + "/auth/users/me", infra::http::kAcceptJson);
    int status = response.error.empty() ? response.status : 0;
    if (isSuccess(status)) {
        if (auto token = readCsrfToken(response.body)) {
            impl_->csrfToken = std::move(*token);
            Logger::info("NapSession::refreshCsrfToken: acquired");
            return;
        }
    }
    Logger::warn("NapSession::refreshCsrfToken: failed (HTTP " + std::to_string(status) + ")");
}

NapSession::Response NapSession::get(const std::string& url) {
    return toResponse(impl_->httpClient().get(url, {}), impl_->lastError);
}

NapSession::Response NapSession::get(const std::string& url, const Headers& headers) {
    return toResponse(impl_->httpClient().get(url, headers), impl_->lastError);
}

NapSession::Response NapSession::getFresh(const std::string& url, const Headers& headers) {
    return toResponse(impl_->httpClient().getFresh(url, headers), impl_->lastError);
}

NapSession::Response NapSession::postForm(const std::string& url, const Headers& fields) {
    return toResponse(impl_->httpClient().postForm(url, fields, {}), impl_->lastError);
}

NapSession::Response NapSession::postForm(const std::string& url, const Headers& fields, const Headers& headers) {
    return toResponse(impl_->httpClient().postForm(url, fields, headers), impl_->lastError);
}

NapSession::Response NapSession::postRaw(const std::string& url, const std::vector<uint8_t>& body,
                                         const std::string& contentType) {
    std::string_view bytes(reinterpret_cast<const char*>(body.data()), body.size());
    return toResponse(impl_->httpClient().postRaw(url, bytes, contentType, {}), impl_->lastError);
}

std::vector<uint8_t> NapSession::downloadBinary(const std::string& url) {
    return impl_->httpClient().downloadBinary(url, {});
}

std::string NapSession::exportCookies() {
    return impl_->httpClient().exportCookies();
}

HttpResponse NapSession::callWithAuthRetry(const std::string& label, const std::function<HttpResponse()>& call) {
    auto statusOf = [](const HttpResponse& r) { return r.error.empty() ? r.status : 0; };
    HttpResponse first = call();
    if (!isDenied(statusOf(first)) || impl_->authRetrying) return first;

    impl_->authRetrying = true;
    Logger::info("NapSession::" + label + ": HTTP " + std::to_string(statusOf(first)) +
                 " — retrying with cookies the response installed");
    pause(1);
    HttpResponse second = call();
    if (!isDenied(statusOf(second))) {
        impl_->authRetrying = false;
        return second;
    }
    Logger::warn("NapSession::" + label + ": still HTTP " + std::to_string(statusOf(second)) +
                 " after plain retry — re-authenticating");
    // The reset forgets the selected taxpayer; without selecting it again the
    // call would run for whichever taxpayer the portal defaults to.
    std::optional<int64_t> rememberedTin;
    if (impl_->selectedTaxpayer) rememberedTin = impl_->selectedTaxpayer->tin;
    resetSessionState();
    if (!login()) {
        Logger::error("NapSession::" + label + ": re-login failed: " + impl_->lastError);
        impl_->authRetrying = false;
        return second;
    }
    if (rememberedTin && !httpSelectTaxpayer(*rememberedTin)) {
        Logger::error("NapSession::" + label + ": taxpayer select after re-login failed");
        impl_->authRetrying = false;
        return second;
    }
    pause(2);
    HttpResponse third = call();
    if (!isDenied(statusOf(third))) {
        impl_->authRetrying = false;
        return third;
    }
    Logger::info("NapSession::" + label + ": post-login HTTP " + std::to_string(statusOf(third)) +
                 " — WAF bootstrap retry");
    pause(1);
    HttpResponse fourth = call();
    impl_->authRetrying = false;
    return fourth;
}

void NapSession::markSessionActiveInUi(const std::string& serviceName) {
    using infra::http::kAcceptHtmlBrowser;
    HttpClient& client = impl_->httpClient();
    auto entry = client.getFresh(nap::entryPointUrl(), kAcceptHtmlBrowser);
    Logger::info("NapSession::markSessionActiveInUi: fresh /auth/entrypoint HTTP " + std::to_string(entry.status) +
                 " (effective=" + infra::http::urlForLog(entry.effectiveUrl) + ")");
    std::string detailsUrl = std::string(nap::kPortalBase) + "/details/" + common::percentEncode(serviceName);
    auto details = client.get(detailsUrl, kAcceptHtmlBrowser);
    Logger::info("NapSession::markSessionActiveInUi: GET " + detailsUrl + " HTTP " + std::to_string(details.status));
    auto home = client.get(std::string(nap::kPortalBase) + "/home.html", kAcceptHtmlBrowser);
    Logger::info("NapSession::markSessionActiveInUi: GET /home.html HTTP " + std::to_string(home.status));
}

const std::vector<TaxpayerInfo>& NapSession::listTaxpayers() {
    static const std::vector<TaxpayerInfo> empty;
    const std::string certificateId = impl_->identity.certificateId;
    if (!certificateId.empty()) {
        std::lock_guard<std::mutex> lock(g_taxpayersMutex);
        auto it = g_taxpayersByCert.find(certificateId);
        if (it != g_taxpayersByCert.end() && !it->second.empty()) return it->second;
    }

    impl_->refusal.clear();
    auto response = impl_->httpClient().get(nap::taxpayersUrl(), infra::http::kAcceptJson);
    int status = response.error.empty() ? response.status : 0;
    if (response.tooLarge) impl_->refuseTaxpayerList(response.error);
    if (!isSuccess(status)) {
        Logger::warn("NapSession::listTaxpayers: HTTP " + std::to_string(status));
        return empty;
    }
    TaxpayerListReading reading = readTaxpayerList(response.body);
    if (reading.failure == AnswerFailure::TooLarge) {
        impl_->refuseTaxpayerList(reading.error);
        Logger::warn("NapSession::listTaxpayers: " + impl_->lastError);
        return empty;
    }
    if (reading.failure == AnswerFailure::Parse) {
        Logger::warn("NapSession::listTaxpayers parse: " + forLog(reading.error, 300));
        return empty;
    }
    if (reading.failure == AnswerFailure::Shape) {
        Logger::warn("NapSession::listTaxpayers: unexpected body — " + forLog(response.body, 200));
        return empty;
    }
    if (reading.tinsOutOfRange > 0) {
        Logger::warn("NapSession::listTaxpayers: " + std::to_string(reading.tinsOutOfRange) +
                     " tin(s) out of range read as 0");
    }
    Logger::info("NapSession::listTaxpayers: " + std::to_string(reading.taxpayers.size()) + " taxpayer(s) returned");
    if (certificateId.empty() || reading.taxpayers.empty()) return empty;
    std::lock_guard<std::mutex> lock(g_taxpayersMutex);
    auto [it, inserted] = g_taxpayersByCert.try_emplace(certificateId, std::move(reading.taxpayers));
    return it->second;
}

const std::vector<NapCategory>& NapSession::categories() {
    static const std::vector<NapCategory> empty;
    // Held across the fetch: concurrent first callers wait for the one fetch.
    std::lock_guard<std::mutex> lock(g_categoriesMutex);
    if (g_categoriesLoaded) return g_categoryCache;

    auto response =
        impl_->httpClient().get(std::string(nap::kPortalBase) + "/api/base/categories", infra::http::kAcceptJson);
    int status = response.error.empty() ? response.status : 0;
    if (response.tooLarge) impl_->refusal = notReadTooLarge("каталогът на услугите", response.error);
    if (!isSuccess(status)) {
        Logger::warn("NapSession::categories: HTTP " + std::to_string(status));
        return empty;
    }
    CatalogueReading reading = readCatalogue(response.body);
    if (reading.failure == AnswerFailure::Parse) {
        Logger::warn("NapSession::categories parse: " + forLog(reading.error, 300));
        return empty;
    }
    if (reading.failure == AnswerFailure::Shape) return empty;
    g_categoryCache = std::move(reading.categories);
    g_categoriesLoaded = true;
    Logger::info("NapSession::categories: " + std::to_string(g_categoryCache.size()) +
                 " categories loaded (process-wide)");
    return g_categoryCache;
}

std::optional<SelectedTaxpayer> NapSession::httpSelectTaxpayer(int64_t tin) {
    const std::string body = "{\"tin\":" + std::to_string(tin) + "}";
    const Headers headers{{"Accept", "application/json, text/plain, */*"},
                          {"Origin", nap::kPortalBase},
                          {"Referer", nap::kPortalBaseSlash},
                          {"X-Requested-With", "XMLHttpRequest"}};
    impl_->otherTaxpayer.reset();
    auto response = impl_->httpClient().postRaw(std::string(nap::kPortalBase) + "/api/common/taxpayer/select", body,
                                                "application/json", headers);
    int status = response.error.empty() ? response.status : 0;
    if (response.tooLarge) impl_->refusal = notReadTooLarge("отговорът на избора", response.error);
    const std::string line = "NapSession::httpSelectTaxpayer: HTTP " + std::to_string(status);
    Logger::info(line);
    if (!isSuccess(status)) {
        Logger::warn(line);
        return std::nullopt;
    }
    SelectAnswerReading reading = readSelectAnswer(response.body);
    if (!reading.taxpayer) {
        Logger::warn("NapSession::httpSelectTaxpayer parse: " + forLog(reading.error, 300));
        return std::nullopt;
    }
    if (reading.tinOutOfRange) Logger::warn("NapSession::httpSelectTaxpayer: tin out of range read as 0");
    if (reading.namesTin && (reading.tinOutOfRange || reading.taxpayer->tin != tin)) {
        // The portal now acts for someone else: whatever runs next would file
        // or read for that company, so nothing of this selection is kept.
        impl_->otherTaxpayer = *reading.taxpayer;
        impl_->otherTinOutOfRange = reading.tinOutOfRange;
        impl_->otherAskedTin = tin;
        impl_->selectedTaxpayer.reset();
        impl_->selectedServiceLinkId.clear();
        impl_->currentSystemId = 0;
        impl_->lastError = otherTaxpayerMessage({}, tin, *reading.taxpayer, reading.tinOutOfRange);
        Logger::error("NapSession::httpSelectTaxpayer: " + impl_->lastError);
        return std::nullopt;
    }
    impl_->selectedTaxpayer = *reading.taxpayer;

    Logger::info("NapSession::httpSelectTaxpayer: session cookies installed");
    installCookie("selectedContext", base64(std::to_string(reading.taxpayer->tin)));
    installCookie("tpId", base64("true"));
    refreshCsrfToken();
    return reading.taxpayer;
}

const TaxpayerInfo* NapSession::findTaxpayerByEik(const std::string& eik) {
    const std::vector<TaxpayerInfo>& list = listTaxpayers();
    if (list.empty()) {
        impl_->lastError =
            kEikNotFound + " (" +
            (impl_->refusal.empty() ? "списъкът е празен — сесията може да не е активна" : impl_->refusal) + ")";
        return nullptr;
    }
    for (const TaxpayerInfo& info : list) {
        if (info.pin == eik) return &info;
    }
    impl_->lastError = kEikNotFound + " (налични задължени лица: " + std::to_string(list.size()) + ")";
    return nullptr;
}

bool NapSession::selectTaxpayer(const std::string& eik) {
    const TaxpayerInfo* info = findTaxpayerByEik(eik);
    if (!info) return false;
    Logger::info("NapSession::selectTaxpayer: избор на ЗЛ " + forLog(eik, 64));
    impl_->refusal.clear();
    if (!httpSelectTaxpayer(info->tin)) {
        impl_->lastError = impl_->otherTaxpayer
                               ? otherTaxpayerMessage(eik, info->tin, *impl_->otherTaxpayer, impl_->otherTinOutOfRange)
                               : impl_->withRefusal("Неуспешен избор на ЗЛ " + eik);
        return false;
    }
    pause(1);
    return true;
}

void NapSession::httpSelectService(const std::string& linkId) {
    const bool hadTaxpayer = impl_->selectedTaxpayer.has_value();
    const std::string url =
        std::string(nap::kPortalBase) + "/api/common/service-links/select/" + common::percentEncode(linkId);
    HttpResponse response = callWithAuthRetry("httpSelectService", [this, &linkId, &url] {
        // Set inside the call so that it survives the reset of a re-login.
        impl_->selectedServiceLinkId = linkId;
        return impl_->httpClient().getFresh(url, infra::http::kAcceptJson);
    });
    const std::string body = response.error.empty() ? response.body : std::string();
    Logger::info("NapSession::httpSelectService: HTTP " + std::to_string(response.status) +
                 " (body=" + std::to_string(body.size()) + "B): " + forLog(body, 500));
    if (lostTaxpayer(hadTaxpayer)) return;
    Logger::info("NapSession::httpSelectService: selectedServiceId cookie installed");
    installCookie("selectedServiceId", base64(linkId));
}

// A re-login inside a call selects the taxpayer again; when that failed or
// the portal named someone else, the portal now holds another context and
// nothing more may be done there.
bool NapSession::lostTaxpayer(bool hadTaxpayer) const {
    if (!hadTaxpayer || impl_->selectedTaxpayer) return false;
    Logger::warn("NapSession: the taxpayer could not be selected again after a re-login; stopping");
    return true;
}

const NapService* NapSession::findServiceInCatalogue(const std::string& name,
                                                     const std::vector<NapCategory>& catalogue) {
    for (const NapCategory& category : catalogue) {
        for (const NapService& service : category.services) {
            if (service.name == name) return &service;
        }
    }
    return nullptr;
}

std::optional<NapServiceLink> NapSession::selectService(const operations::IPortalHandler& handler, int year) {
    const std::string name = handler.categoryName();
    impl_->refusal.clear();
    const NapService* service = findServiceInCatalogue(name, categories());
    if (!service) {
        impl_->lastError = impl_->withRefusal("Услуга '" + name + "' не е намерена в каталога");
        return std::nullopt;
    }
    std::optional<NapServiceLink> link =
        year < 1 ? handler.findResultsLink(*service) : handler.findSubmitLinkForYear(*service, year);
    if (!link) {
        impl_->lastError = "Не е намерен линк за '" + name + "'";
        if (year >= 1) impl_->lastError += " за година " + std::to_string(year);
        return std::nullopt;
    }
    const bool hadTaxpayer = impl_->selectedTaxpayer.has_value();
    httpSelectService(link->id);
    if (lostTaxpayer(hadTaxpayer)) return std::nullopt;
    markSessionActiveInUi(name);
    Logger::info("NapSession::selectService: услуга " + forLog(link->title, 200) + " (id=" + forLog(link->id, 100) +
                 ")");
    return link;
}

void NapSession::selectSystem(const NapServiceLink& link) {
    impl_->currentSystemId = link.systemId();
    Logger::info("NapSession::selectSystem: systemId=" + std::to_string(impl_->currentSystemId));
}

std::optional<NapServiceLink> NapSession::prepareFor(const operations::IPortalHandler& handler, const std::string& eik,
                                                     int year) {
    impl_->lastError.clear();
    if (!ensureLoggedIn()) {
        if (impl_->lastError.empty()) impl_->lastError = "Неуспешен вход в НАП";
        return std::nullopt;
    }
    if (!selectTaxpayer(eik)) return std::nullopt;
    auto link = selectService(handler, year);
    // A re-login inside the service select selects the taxpayer again; when
    // that failed or named someone else, no taxpayer of ours is selected.
    if (!impl_->selectedTaxpayer) {
        impl_->lastError = impl_->otherTaxpayer ? otherTaxpayerMessage(eik, impl_->otherAskedTin, *impl_->otherTaxpayer,
                                                                       impl_->otherTinOutOfRange)
                                                : "Неуспешен избор на ЗЛ " + eik;
        return std::nullopt;
    }
    if (!link) return std::nullopt;
    selectSystem(*link);
    return link;
}

std::optional<NapServiceLink> NapSession::prepareForParams(const operations::IPortalHandler& handler,
                                                           const operations::ParameterValues& params) {
    const std::string eik = params.getOr("eik", "");
    if (eik.empty()) {
        impl_->lastError = "Липсва задължителен параметър eik";
        return std::nullopt;
    }
    return prepareFor(handler, eik, common::leadingInt(params.getOr("year", "0")).value_or(0));
}

const std::optional<SelectedTaxpayer>& NapSession::currentTaxpayer() const {
    return impl_->selectedTaxpayer;
}
int NapSession::currentSystemId() const {
    return impl_->currentSystemId;
}

}  // namespace tavo::core::domain

namespace tavo::core::domain::testing {

void forgetPortalCaches() {
    {
        std::lock_guard<std::mutex> lock(g_taxpayersMutex);
        g_taxpayersByCert.clear();
    }
    std::lock_guard<std::mutex> lock(g_categoriesMutex);
    g_categoryCache.clear();
    g_categoriesLoaded = false;
}

}  // namespace tavo::core::domain::testing
