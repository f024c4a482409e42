#include "support/PortalStandIn.h"

#include <nlohmann/json.hpp>

#include <strings.h>

#include <cstdio>
#include <random>

#include "infrastructure/http/NapEndpoints.h"

namespace tavo::test {
namespace {

namespace nap = tavo::core::infra::nap;

const char* const kSessionCookie = "SESSION";

std::string queryValue(const std::string& query, const std::string& name) {
    size_t start = 0;
    while (start <= query.size()) {
        size_t amp = query.find('&', start);
        if (amp == std::string::npos) amp = query.size();
        std::string pair = query.substr(start, amp - start);
        if (pair.compare(0, name.size() + 1, name + "=") == 0) return pair.substr(name.size() + 1);
        start = amp + 1;
    }
    return {};
}

Reply page(const std::string& title) {
    return Reply::text("<!DOCTYPE html><html><head><title>" + title + "</title></head><body></body></html>");
}

Reply unauthorized() {
    return Reply::json(R"({"error":"unauthorized"})", 401);
}

}  // namespace

PortalStandIn::PortalStandIn()
    : portal_(std::make_unique<StandIn>()),
      login_(std::make_unique<StandIn>(StandIn::Options{StandIn::ClientCert::Require, false})),
      taxpayers_(defaultTaxpayers()) {
    portal_->route({nap::kPortalHost});
    login_->route({nap::kLoginHost});
    installDefaults();
}

// The login host restores the environment the portal saw, then the portal its own.
PortalStandIn::~PortalStandIn() {
    login_->stop();
    portal_->stop();
}

const std::vector<PortalStandIn::Taxpayer>& PortalStandIn::defaultTaxpayers() {
    static const std::vector<Taxpayer> list{
        {"Тест Трейд ООД", "123456789", "EIK", 4100000001, "TP-4100000001"},
        {"Друга Фирма ЕООД", "987654321", "bus_bulstat", 4100000002, "TP-4100000002"},
        {"Иван Петров", "8001010000", "Ind_Egn", 4100000003, "TP-4100000003"},
    };
    return list;
}

std::string PortalStandIn::defaultCatalogue() {
    return R"([
 {"id":"c1","name":"taxes","i18nTitle":"Данъци","services":[
  {"id":"s55","name":"Декларации по чл. 55","i18nTitle":"Декларации по чл. 55 от ЗДДФЛ","links":[
   {"id":"5502","name":"submit2023","i18nName":"Подаване за 2023","orderNum":2,"linkType":"PLSQL",
    "props":{"systemId":"23","url":"decl55.web.publicEntry"}},
   {"id":"5501","name":"submit2024","i18nName":"Подаване за 2024","orderNum":1,"linkType":"PLSQL",
    "props":{"systemId":"24","url":"decl55.web.publicEntry"}},
   {"id":"5509","name":"results","i18nName":"Подадени документи","orderNum":9,"linkType":"PLSQL",
    "props":{"systemId":"29","url":"decl55.web.listDocuments"}}]},
  {"id":"s6","name":"Обр. 6 & други?","i18nTitle":"Декларация обр. 6","links":[
   {"id":"6/1?x=1","name":"submit","i18nName":"Подаване","orderNum":1,"props":{"systemId":"61"}}]}]},
 {"id":"c2","name":"empty","title":"Без услуги","services":[]}
])";
}

StandIn::Handler PortalStandIn::journaled(StandIn::Handler handler) {
    return [this, handler = std::move(handler)](const RecordedRequest& request) {
        journal_.add(request);
        return handler(request);
    };
}

void PortalStandIn::on(Host host, const std::string& method, const std::string& path, StandIn::Handler handler) {
    server(host).on(method, path, journaled(std::move(handler)));
}

void PortalStandIn::onPrefix(Host host, const std::string& method, const std::string& prefix,
                             StandIn::Handler handler) {
    server(host).onPrefix(method, prefix, journaled(std::move(handler)));
}

std::string PortalStandIn::cookie(const RecordedRequest& request, const std::string& name) {
    // Every Cookie line, each "a=1; b=2".
    for (const auto& [header, value] : request.headers) {
        if (header.size() != 6 || strncasecmp(header.c_str(), "cookie", 6) != 0) continue;
        size_t start = 0;
        while (start < value.size()) {
            size_t end = value.find(';', start);
            if (end == std::string::npos) end = value.size();
            size_t first = value.find_first_not_of(' ', start);
            if (first < end) {
                std::string pair = value.substr(first, end - first);
                if (pair.compare(0, name.size() + 1, name + "=") == 0) return pair.substr(name.size() + 1);
            }
            start = end + 1;
        }
    }
    return {};
}

std::vector<RecordedRequest> PortalStandIn::onNewConnections(const std::vector<RecordedRequest>& requests) {
    std::set<uint64_t> seen;
    std::vector<RecordedRequest> out;
    for (const auto& r : requests) {
        if (seen.insert(r.connectionId).second) out.push_back(r);
    }
    return out;
}

bool PortalStandIn::hasSession(const RecordedRequest& request) const {
    std::string id = cookie(request, kSessionCookie);
    std::lock_guard<std::mutex> lock(mutex_);
    return !id.empty() && sessions_.count(id) > 0;
}

std::string PortalStandIn::loginPage() {
    return "<!DOCTYPE html><html><head><title>Вход в системата</title>"
           "<script>window.cfg = {appId:2, cookies: ['tpId=4100000001'], help: '?rapid=7'};</script></head>"
           "<body><table class=\"layout\"><tr><td><img src=\"/img/logo.png\" alt=\"НАП\"></td></tr><tr><td>"
           "<form method=\"post\" action=\"/auth/signin\"><p>Влезте с КЕП или ПИК.</p>"
           "<input type=\"hidden\" name=\"appId\" value=\"2\"><button>Вход</button></form>"
           "</td></tr></table></body></html>";
}

std::string PortalStandIn::loginPageUrl() {
    return std::string(nap::kLoginBase) + "/auth/signin?appId=2";
}

std::string PortalStandIn::newSecret(const char* prefix) {
    static std::mt19937_64 random{std::random_device{}()};
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(random() ^ ++counter_));
    return std::string(prefix) + hex;
}

void PortalStandIn::installDefaults() {
    const std::string portalBase = nap::kPortalBase;

    // Unrouted requests still reach the combined journal.
    portal_->onMatch([](const RecordedRequest&) { return true; }, journaled([](const RecordedRequest& r) {
                         return Reply::text("no route for " + r.method + " " + r.path, 404, "text/plain");
                     }));
    login_->onMatch([](const RecordedRequest&) { return true; }, journaled([](const RecordedRequest& r) {
                        return Reply::text("no route for " + r.method + " " + r.path, 404, "text/plain");
                    }));

    on(Host::Portal, "GET", "/auth/entrypoint", [this, portalBase](const RecordedRequest& r) {
        if (hasSession(r)) {
            // Silent single sign-on: a fresh one-time code through the callback.
            std::lock_guard<std::mutex> lock(mutex_);
            std::string code = newSecret("otc-");
            codes_[code] = false;
            allCodes_.push_back(code);
            return Reply::redirect(portalBase + "/auth/callback?code=" + code + "&state=sso");
        }
        Reply reply = page("Вход");
        std::lock_guard<std::mutex> lock(mutex_);
        state_ = newSecret("state-");
        reply.setCookies.push_back("OAUTH_STATE=" + state_ + "; Path=/; Secure; HttpOnly");
        return reply;
    });

    on(Host::Login, "GET", "/auth/signin", [](const RecordedRequest&) { return Reply::text(loginPage()); });

    on(Host::Login, "GET", "/auth/login/qes", [this, portalBase](const RecordedRequest& r) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (loginRefused_ || r.clientSubject.empty()) return Reply::text("certificate refused", 403);
        std::string code = newSecret("otc-");
        codes_[code] = false;
        allCodes_.push_back(code);
        loginCookie_ = newSecret("qes-");
        Reply reply = Reply::redirect(portalBase + "/auth/callback?code=" + code + "&state=qes");
        reply.setCookies.push_back("QES_SESSION=" + loginCookie_ + "; Path=/; Secure; HttpOnly");
        return reply;
    });

    on(Host::Portal, "GET", "/auth/callback", [this](const RecordedRequest& r) {
        std::string code = queryValue(r.query, "code");
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = codes_.find(code);
        if (it == codes_.end() || it->second) return Reply::text("invalid code", 401);
        it->second = true;
        std::string session = newSecret("sess-");
        sessions_.insert(session);
        allSessions_.push_back(session);
        Reply reply = Reply::redirect("/home.html");
        reply.setCookies.push_back(std::string(kSessionCookie) + "=" + session + "; Path=/; Secure; HttpOnly");
        return reply;
    });

    on(Host::Portal, "GET", "/home.html", [](const RecordedRequest&) { return page("Портал за е-услуги"); });
    onPrefix(Host::Portal, "GET", "/details/", [](const RecordedRequest&) { return page("Услуга"); });

    on(Host::Portal, "GET", "/api/base/taxpayers", [this](const RecordedRequest& r) {
        if (!hasSession(r)) return unauthorized();
        std::lock_guard<std::mutex> lock(mutex_);
        if (taxpayersReply_) return *taxpayersReply_;
        nlohmann::json list = nlohmann::json::array();
        for (const auto& t : taxpayers_) {
            list.push_back({{"name", t.name},
                            {"pin", t.pin},
                            {"pinType", t.pinType},
                            {"tin", t.tin},
                            {"email", "office@example.bg"},
                            {"authorization", "FULL"},
                            {"active", true}});
        }
        return Reply::json(list.dump());
    });

    on(Host::Portal, "POST", "/api/common/taxpayer/select", [this, portalBase](const RecordedRequest& r) {
        if (!hasSession(r)) return unauthorized();
        std::lock_guard<std::mutex> lock(mutex_);
        if (selectReply_) return *selectReply_;
        // The portal's front end sends exactly these.
        const std::pair<const char*, std::string> expected[] = {
            {"Content-Type", "application/json"},
            {"Accept", "application/json, text/plain, */*"},
            {"Origin", portalBase},
            {"Referer", portalBase + "/"},
            {"X-Requested-With", "XMLHttpRequest"},
        };
        for (const auto& [name, value] : expected) {
            if (r.headerCount(name) != 1 || r.header(name) != value)
                return Reply::text(std::string("bad header ") + name, 400, "text/plain");
        }
        for (const auto& asked : taxpayers_) {
            if (r.body == "{\"tin\":" + std::to_string(asked.tin) + "}") {
                Taxpayer t = asked;
                if (auto swap = selectSwaps_.find(asked.tin); swap != selectSwaps_.end()) {
                    for (const auto& other : taxpayers_)
                        if (other.tin == swap->second) t = other;
                }
                selected_ = t;
                nlohmann::json answer = {{"tin", t.tin}, {"pin", t.pin}, {"tpId", t.tpId}, {"name", t.name}};
                return Reply::json(answer.dump());
            }
        }
        return Reply::text("bad body", 400, "text/plain");
    });

    on(Host::Portal, "GET", "/auth/users/me", [this](const RecordedRequest& r) {
        if (!hasSession(r)) return unauthorized();
        std::lock_guard<std::mutex> lock(mutex_);
        nlohmann::json me = {{"_csrf", csrf_}, {"username", "test-user"}};
        return Reply::json(me.dump());
    });

    on(Host::Portal, "GET", "/api/base/categories", [this](const RecordedRequest&) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++categoriesFetches_;
        if (categoriesReply_) return *categoriesReply_;
        Reply reply = Reply::json(defaultCatalogue());
        reply.delay = categoriesDelay_;
        return reply;
    });

    onPrefix(Host::Portal, "GET", "/api/common/service-links/select/", [this](const RecordedRequest& r) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!serviceLinkStatuses_.empty()) {
                int status = serviceLinkStatuses_.front();
                serviceLinkStatuses_.erase(serviceLinkStatuses_.begin());
                return Reply::json(R"({"error":"scripted"})", status);
            }
        }
        if (!hasSession(r)) return unauthorized();
        return Reply::json(R"({"status":"selected"})");
    });
}

void PortalStandIn::setTaxpayers(std::vector<Taxpayer> taxpayers) {
    std::lock_guard<std::mutex> lock(mutex_);
    taxpayers_ = std::move(taxpayers);
}

void PortalStandIn::setTaxpayersReply(std::optional<Reply> reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    taxpayersReply_ = std::move(reply);
}

void PortalStandIn::setCategoriesReply(Reply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    categoriesReply_ = std::move(reply);
}

void PortalStandIn::setCategoriesDelay(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lock(mutex_);
    categoriesDelay_ = delay;
}

void PortalStandIn::setSelectReply(std::optional<Reply> reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    selectReply_ = std::move(reply);
}

void PortalStandIn::answerSelectWith(int64_t askedTin, int64_t answeredTin) {
    std::lock_guard<std::mutex> lock(mutex_);
    selectSwaps_[askedTin] = answeredTin;
}

void PortalStandIn::setCsrfToken(std::string token) {
    std::lock_guard<std::mutex> lock(mutex_);
    csrf_ = std::move(token);
}

void PortalStandIn::scriptServiceLinkStatuses(std::vector<int> statuses) {
    std::lock_guard<std::mutex> lock(mutex_);
    serviceLinkStatuses_ = std::move(statuses);
}

void PortalStandIn::setLoginRefused(bool refused) {
    std::lock_guard<std::mutex> lock(mutex_);
    loginRefused_ = refused;
}

void PortalStandIn::expireSessions() {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_.clear();
}

std::vector<std::string> PortalStandIn::issuedSessionIds() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return allSessions_;
}

std::vector<std::string> PortalStandIn::issuedCodes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return allCodes_;
}

std::string PortalStandIn::stateCookie() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

std::string PortalStandIn::loginHostCookie() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return loginCookie_;
}

std::optional<PortalStandIn::Taxpayer> PortalStandIn::selectedTaxpayer() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return selected_;
}

int PortalStandIn::categoriesFetches() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return categoriesFetches_;
}

std::string PortalStandIn::csrfToken() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return csrf_;
}

}  // namespace tavo::test
