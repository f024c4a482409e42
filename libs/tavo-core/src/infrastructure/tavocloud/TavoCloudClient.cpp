#include "infrastructure/tavocloud/TavoCloudClient.h"

#include <utility>

#include "common/Ascii.h"
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

constexpr size_t kLoggedValueMax = 200;

std::string parseError(std::string_view message) {
    return "TavoCloudClient::checkVersion: parse error \u2014 " + escapeForLog(message);
}

// C0 controls, DEL and the C1 controls (U+0080..U+009F, two bytes in UTF-8).
bool hasControlCharacter(std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) return true;
        if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9F &&
            static_cast<unsigned char>(text[i + 1]) >= 0x80)
            return true;
    }
    return false;
}

// The update installer downloads and runs what this address names: only an
// https address with a host, in one piece, is offered.
bool isSoundUpdateAddress(std::string_view url) {
    constexpr std::string_view kScheme = "https://";
    if (url.size() <= kScheme.size() || hasControlCharacter(url)) return false;
    for (size_t i = 0; i < kScheme.size(); ++i)
        if (common::ascii::toLower(url[i]) != kScheme[i]) return false;
    const char first = url[kScheme.size()];
    return first != '/' && first != '?' && first != '#';
}

// Leaves empty, with a line for the log, each value the agent must not offer.
void dropUnsound(VersionAnswer& answer) {
    struct Check {
        const char* name;
        std::string TavoCloudClient::VersionInfo::*target;
        bool (*sound)(std::string_view);
        const char* problem;
    };
    static constexpr Check kChecks[] = {
        {"latestVersion", &TavoCloudClient::VersionInfo::latestVersion,
         [](std::string_view v) { return !hasControlCharacter(v); }, "holds control characters"},
        {"minVersion", &TavoCloudClient::VersionInfo::minVersion,
         [](std::string_view v) { return !hasControlCharacter(v); }, "holds control characters"},
        {"windowsUrl", &TavoCloudClient::VersionInfo::windowsUrl, isSoundUpdateAddress, "is not an https address"},
        {"macUrl", &TavoCloudClient::VersionInfo::macUrl, isSoundUpdateAddress, "is not an https address"},
    };
    for (const Check& check : kChecks) {
        std::string& value = answer.info.*check.target;
        if (value.empty() || check.sound(value)) continue;
        answer.dropped.push_back(std::string("TavoCloudClient::checkVersion: ") + check.name + " " + check.problem +
                                 ", left empty: " + escapeForLog(common::utf8::cut(value, kLoggedValueMax)));
        value.clear();
    }
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
            dropUnsound(out);
            return out;
        }
        out.info.*field.target = std::move(*text);
    }
    dropUnsound(out);
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
    for (const std::string& line : answer.dropped) Logger::warn(line);
    return std::move(answer.info);
}

}  // namespace tavo::core::infra::tavocloud
