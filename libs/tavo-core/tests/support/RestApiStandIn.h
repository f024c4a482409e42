#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/StandIn.h"

namespace tavo::test {

// The agency's public declaration REST API on one HTTPS stand-in, reached
// under both the production and the test API host names. The submit and the
// result addresses answer scripted JSON (defaults: a filing accepted with a
// fresh document id; the asked document's result with an HTML document, under
// the id the request carried); every request lands in
// journal() with its exact body bytes and headers (the Host header tells the
// two host names apart).
class RestApiStandIn {
public:
    static constexpr const char* kSubmitPath = "/declaration/api-declarations/";
    static constexpr const char* kResultPath = "/declaration/api-declarations/result";

    RestApiStandIn();
    ~RestApiStandIn();
    RestApiStandIn(const RestApiStandIn&) = delete;
    RestApiStandIn& operator=(const RestApiStandIn&) = delete;

    StandIn& server() { return server_; }
    Journal& journal() { return server_.journal(); }
    // "https://<production API host>" and the test API's, as the library spells them.
    static std::string productionSubmitUrl();
    static std::string productionResultUrl();
    static std::string testSubmitUrl();
    static std::string testResultUrl();

    // Scripting; an empty optional restores the default answer.
    void setSubmitReply(std::optional<Reply> reply);
    void setResultReply(std::optional<Reply> reply);
    // Announces a body, then drops the connection before sending any of it.
    static Reply dropped();
    // From now on both addresses answer 401 with a text body that repeats the
    // request's Authorization header after `leading` bytes of other text, as
    // gateways do in their "invalid token" answers.
    void echoAuthorization(std::size_t leading = 0);
    // The start of that body, up to the header's value.
    static std::string echoPrefix(std::size_t leading);

    std::vector<RecordedRequest> submits() const;
    std::vector<RecordedRequest> results() const;

    // The default answers' values.
    static constexpr const char* kEntryNumber = "ВХ-2024-000123";
    static constexpr const char* kEntryDate = "2024-05-14T10:21:00";
    static std::string defaultResultHtml();

private:
    Reply submitAnswer(const RecordedRequest& request);
    Reply resultAnswer(const RecordedRequest& request);
    std::optional<Reply> echoed(const RecordedRequest& request) const;
    std::vector<RecordedRequest> on(const std::string& path) const;

    StandIn server_;
    mutable std::mutex mutex_;
    std::optional<Reply> submitReply_;
    std::optional<Reply> resultReply_;
    int documents_ = 0;
    std::optional<std::size_t> echoLeading_;
};

}  // namespace tavo::test
