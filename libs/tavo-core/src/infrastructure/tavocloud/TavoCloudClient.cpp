#include "infrastructure/tavocloud/TavoCloudClient.h"

#include <utility>

#include "common/Logger.h"
#include "common/SafeJson.h"
#include "common/Utf8.h"
#include "infrastructure/http/HttpClient.h"
#include "infrastructure/http/HttpClientFactory.h"

namespace tavo::core::infra::tavocloud {
namespace {

namespace sj = common::safejson;
using common::utf8::escapeForLog;

constexpr const char* kVersionPath = "/api/v1/agent/version";

std::string parseError(std::string_view message) {
    return "TavoCloudClient::checkVersion: parse error \u2014 " + escapeForLog(message);
}

}  // namespace

VersionAnswer readVersionAnswer(int status, std::string_view body) {
    VersionAnswer out;
    if (status < 200 || status > 299) {
        out.warning = "TavoCloudClient::checkVersion: HTTP " + std::to_string(status);
        return out;
    }
    sj::ParseOutcome parsed = sj::parse(body);
    if (!parsed.value) {
        out.warning = parseError(parsed.error);
        return out;
    }
    const sj::json& answer = *parsed.value;
    // The texts are those the JSON library gives for the same mistakes, so the
    // log reads the same whichever way the answer was read.
    if (!answer.is_object()) {
        out.warning =
            parseError(std::string("[json.exception.type_error.306] cannot use value() with ") + answer.type_name());
        return out;
    }
    struct Field {
        const char* name;
        std::string TavoCloudClient::VersionInfo::*target;
    };
    static constexpr Field kFields[] = {
        {"latestVersion", &TavoCloudClient::VersionInfo::latestVersion},
        {"minVersion", &TavoCloudClient::VersionInfo::minVersion},
        {"windowsUrl", &TavoCloudClient::VersionInfo::windowsUrl},
        {"macUrl", &TavoCloudClient::VersionInfo::macUrl},
    };
    for (const Field& field : kFields) {
        const sj::json* value = sj::member(answer, field.name);
        if (!value) continue;
        std::optional<std::string> text = sj::asString(*value);
        if (!text) {
            out.warning = parseError(std::string("[json.exception.type_error.302] type must be string, but is ") +
                                     value->type_name());
            return out;
        }
        out.info.*field.target = std::move(*text);
    }
    out.info.ok = !out.info.latestVersion.empty();
    return out;
}

struct TavoCloudClient::Impl {
    std::string baseUrl;
    std::unique_ptr<http::HttpClient> client;
};

TavoCloudClient::TavoCloudClient(std::string baseUrl)
    : impl_(std::make_unique<Impl>(Impl{std::move(baseUrl), http::HttpClientFactory::forTavoCloud()})) {}

TavoCloudClient::~TavoCloudClient() = default;

TavoCloudClient::VersionInfo TavoCloudClient::checkVersion() {
    // Plain concatenation: a base address ending in "/" gives "//api".
    http::HttpResponse response = impl_->client->get(impl_->baseUrl + kVersionPath, http::kAcceptJson);
    if (!response.error.empty()) {
        Logger::warn("TavoCloudClient::checkVersion: transport error \u2014 " + escapeForLog(response.error));
        return {};
    }
    VersionAnswer answer = readVersionAnswer(response.status, response.body);
    if (!answer.warning.empty()) Logger::warn(answer.warning);
    return std::move(answer.info);
}

}  // namespace tavo::core::infra::tavocloud
