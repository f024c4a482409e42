#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tavo::core::infra::tavocloud {

// Asks the vendor's cloud service for the latest agent version. Used by one
// thread at a time; every failure is a VersionInfo with ok false and one
// warning in the log, never an exception. A value unfit to offer (an update
// address that is not https, a version with control characters) is left
// empty with a warning of its own.
class TavoCloudClient {
public:
    struct VersionInfo {
        bool ok = false;
        std::string latestVersion;
        std::string minVersion;
        std::string windowsUrl;
        std::string macUrl;
    };

    // baseUrl is used as given: a trailing "/" is not removed.
    explicit TavoCloudClient(std::string baseUrl);
    ~TavoCloudClient();
    TavoCloudClient(const TavoCloudClient&) = delete;
    TavoCloudClient& operator=(const TavoCloudClient&) = delete;

    VersionInfo checkVersion();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// What the version answer says, and the warning to log (empty when none).
// A value that cannot be offered to the user (an update address that is not
// https, a version text with control characters) is left empty, with one
// line in dropped for each; the rest of the answer stands.
struct VersionAnswer {
    TavoCloudClient::VersionInfo info;
    std::string warning;
    std::vector<std::string> dropped;
};

// Pure reading of the service's answer (status and body), shared by
// checkVersion, its tests and its fuzz target. Never throws.
VersionAnswer readVersionAnswer(int status, std::string_view body);

}  // namespace tavo::core::infra::tavocloud
