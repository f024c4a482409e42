#include "support/RestApiStandIn.h"

#include <nlohmann/json.hpp>

#include "common/Base64.h"
#include "infrastructure/http/NapEndpoints.h"

namespace tavo::test {

namespace nap = core::infra::nap;

RestApiStandIn::RestApiStandIn() {
    server_.on("POST", kSubmitPath, [this](const RecordedRequest& request) { return submitAnswer(request); });
    server_.on("POST", kResultPath, [this](const RecordedRequest& request) { return resultAnswer(request); });
    server_.route({nap::kRestApiHost, nap::kRestApiTestHost});
}

RestApiStandIn::~RestApiStandIn() {
    server_.stop();
}

std::string RestApiStandIn::productionSubmitUrl() {
    return std::string(nap::kRestApiProductionBase) + kSubmitPath;
}
std::string RestApiStandIn::productionResultUrl() {
    return std::string(nap::kRestApiProductionBase) + kResultPath;
}
std::string RestApiStandIn::testSubmitUrl() {
    return std::string(nap::kRestApiTestBase) + kSubmitPath;
}
std::string RestApiStandIn::testResultUrl() {
    return std::string(nap::kRestApiTestBase) + kResultPath;
}

void RestApiStandIn::setSubmitReply(std::optional<Reply> reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    submitReply_ = std::move(reply);
}

void RestApiStandIn::setResultReply(std::optional<Reply> reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    resultReply_ = std::move(reply);
}

Reply RestApiStandIn::dropped() {
    Reply r = Reply::json(R"({"documentId":"never-delivered"})");
    r.cutAfter = 0;
    return r;
}

void RestApiStandIn::echoAuthorization(std::size_t leading) {
    std::lock_guard<std::mutex> lock(mutex_);
    echoLeading_ = leading;
}

std::string RestApiStandIn::echoPrefix(std::size_t leading) {
    return std::string(leading, '.') + "invalid token; Authorization: ";
}

std::optional<Reply> RestApiStandIn::echoed(const RecordedRequest& request) const {
    if (!echoLeading_) return std::nullopt;
    return Reply::text(echoPrefix(*echoLeading_) + request.header("Authorization"), 401, "text/plain");
}

std::string RestApiStandIn::defaultResultHtml() {
    return "<html><body><h1>Декларацията е приета</h1><p>Вх. № ВХ-2024-000123</p></body></html>";
}

Reply RestApiStandIn::submitAnswer(const RecordedRequest& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::optional<Reply> echo = echoed(request)) return *echo;
    if (submitReply_) return *submitReply_;
    nlohmann::json answer = {
        {"documentId", std::to_string(9000 + ++documents_)}, {"entryNumber", kEntryNumber}, {"entryDate", kEntryDate}};
    return Reply::json(answer.dump());
}

Reply RestApiStandIn::resultAnswer(const RecordedRequest& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::optional<Reply> echo = echoed(request)) return *echo;
    if (resultReply_) return *resultReply_;
    const std::string html = defaultResultHtml();
    // The asked document's result, under its id as the request carried it.
    std::string documentId = "9001";
    const nlohmann::json asked = nlohmann::json::parse(request.body, nullptr, false);
    if (asked.is_object() && asked.contains("documentId")) {
        const nlohmann::json& id = asked["documentId"];
        documentId = id.is_string() ? id.get<std::string>() : id.dump();
    }
    nlohmann::json answer = {
        {"documentId", documentId},
        {"entryNumber", kEntryNumber},
        {"entryDate", kEntryDate},
        {"base64HtmlResult",
         core::common::base64::encode(reinterpret_cast<const unsigned char*>(html.data()), html.size())}};
    return Reply::json(answer.dump());
}

std::vector<RecordedRequest> RestApiStandIn::on(const std::string& path) const {
    std::vector<RecordedRequest> out;
    for (RecordedRequest& r : server_.journal().all())
        if (r.path == path) out.push_back(std::move(r));
    return out;
}

std::vector<RecordedRequest> RestApiStandIn::submits() const {
    return on(kSubmitPath);
}
std::vector<RecordedRequest> RestApiStandIn::results() const {
    return on(kResultPath);
}

}  // namespace tavo::test
