#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "support/StandIn.h"

namespace tavo::test {

// The agency's portal and its qualified-signature login host, on two HTTPS
// stand-ins reached under the production host names. The login host demands
// the client certificate in the handshake; the portal does not ask for one.
//
// Login: GET portal /auth/entrypoint (a page and a state cookie; with a live
// session, a silent redirect through /auth/callback with a fresh one-time
// code), GET login /auth/login/qes (certificate; redirect back to
// /auth/callback?code=<one-time code>), /auth/callback trades the code for the
// "SESSION" cookie and redirects to /home.html.
//
// Every request to either host lands in journal() in arrival order; the hosts'
// own journals stay available through portal() and loginHost().
class PortalStandIn {
public:
    struct Taxpayer {
        std::string name;
        std::string pin;
        std::string pinType;
        int64_t tin = 0;
        std::string tpId;
    };
    enum class Host { Portal, Login };

    PortalStandIn();
    ~PortalStandIn();
    PortalStandIn(const PortalStandIn&) = delete;
    PortalStandIn& operator=(const PortalStandIn&) = delete;

    StandIn& portal() { return *portal_; }
    StandIn& loginHost() { return *login_; }
    const Journal& journal() const { return journal_; }

    // Routes that also land in journal(); later registrations win.
    void on(Host host, const std::string& method, const std::string& path, StandIn::Handler handler);
    void onPrefix(Host host, const std::string& method, const std::string& prefix, StandIn::Handler handler);

    // Scripting.
    void setTaxpayers(std::vector<Taxpayer> taxpayers);
    // A raw answer for /api/base/taxpayers to logged-in callers (status, body).
    void setTaxpayersReply(std::optional<Reply> reply);
    void setCategoriesReply(Reply reply);  // default: defaultCatalogue() after categoriesDelay
    void setCategoriesDelay(std::chrono::milliseconds delay);
    void setSelectReply(std::optional<Reply> reply);  // replaces the checked taxpayer-select answer
    // A select of askedTin selects, and answers with, the taxpayer whose tin is
    // answeredTin instead (a portal that switched to another company).
    void answerSelectWith(int64_t askedTin, int64_t answeredTin);
    void setCsrfToken(std::string token);
    // Statuses the service-link select answers first, one per request, before
    // its normal answer (401 without a session, else 200).
    void scriptServiceLinkStatuses(std::vector<int> statuses);
    // The login host refuses the certificate login (403, no code).
    void setLoginRefused(bool refused);
    // Forgets every portal session, as an expiry on the portal's side would.
    void expireSessions();

    // What the stand-in handed out, for the secrets checks.
    std::vector<std::string> issuedSessionIds() const;
    std::vector<std::string> issuedCodes() const;
    std::string stateCookie() const;
    std::string loginHostCookie() const;
    std::optional<Taxpayer> selectedTaxpayer() const;
    int categoriesFetches() const;
    std::string csrfToken() const;

    static const std::vector<Taxpayer>& defaultTaxpayers();
    static std::string defaultCatalogue();
    // The login host's sign-in page, where a lapsed portal session ends up:
    // a form in a layout table (so a table alone tells no listing from it),
    // and a script whose settings hold "appId:2" and "tpId".
    static std::string loginPage();
    // Its address on the login host (a GET answers loginPage() with 200).
    static std::string loginPageUrl();
    // The value of one cookie of a request's Cookie header; empty when absent.
    static std::string cookie(const RecordedRequest& request, const std::string& name);
    // Requests whose connection carried no earlier request of the journal.
    static std::vector<RecordedRequest> onNewConnections(const std::vector<RecordedRequest>& requests);

private:
    StandIn& server(Host host) { return host == Host::Portal ? *portal_ : *login_; }
    StandIn::Handler journaled(StandIn::Handler handler);
    bool hasSession(const RecordedRequest& request) const;
    std::string newSecret(const char* prefix);
    void installDefaults();

    Journal journal_;
    std::unique_ptr<StandIn> portal_;
    std::unique_ptr<StandIn> login_;

    mutable std::mutex mutex_;
    std::vector<Taxpayer> taxpayers_;
    std::optional<Reply> taxpayersReply_;
    std::optional<Reply> categoriesReply_;
    std::chrono::milliseconds categoriesDelay_{0};
    std::optional<Reply> selectReply_;
    std::map<int64_t, int64_t> selectSwaps_;
    std::string csrf_ = "csrf-7f3a9c";
    std::vector<int> serviceLinkStatuses_;
    bool loginRefused_ = false;
    std::set<std::string> sessions_;
    std::vector<std::string> allSessions_;
    std::map<std::string, bool> codes_;  // code -> used
    std::vector<std::string> allCodes_;
    std::string state_;
    std::string loginCookie_;
    std::optional<Taxpayer> selected_;
    int categoriesFetches_ = 0;
    uint64_t counter_ = 0;
};

}  // namespace tavo::test
