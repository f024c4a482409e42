#pragma once

// Production addresses of every remote service the library can reach. Tests
// redirect these host names to local stand-ins (see HttpClient's test seam);
// nothing else in the library spells a host name.
namespace tavo::core::infra::nap {

inline constexpr const char* kPortalHost = "portal.nra.bg";
inline constexpr const char* kPortalBase = "https://portal.nra.bg";
inline constexpr const char* kPortalBaseSlash = "https://portal.nra.bg/";
inline constexpr const char* kHomeHtml = "https://portal.nra.bg/home.html";
inline constexpr const char* kPlsPubBase = "https://portal.nra.bg/pls/pub/";

// The agency's separate qualified-signature login host.
inline constexpr const char* kLoginHost = "login.nra.bg";
inline constexpr const char* kLoginBase = "https://login.nra.bg";

// The agency's public declaration REST API.
inline constexpr const char* kRestApiHost = "api.nra.bg";
inline constexpr const char* kRestApiProductionBase = "https://api.nra.bg";
inline constexpr const char* kRestApiTestHost = "api-test.nra.bg";
inline constexpr const char* kRestApiTestBase = "https://api-test.nra.bg";

// The vendor's cloud service.
inline constexpr const char* kCloudHost = "cloud.tavo.example";
inline constexpr const char* kCloudBase = "https://cloud.tavo.example";

// Every host above, for the test seam that must cover them all.
inline constexpr const char* kAllHosts[] = {kPortalHost, kLoginHost, kRestApiHost, kRestApiTestHost, kCloudHost};

}  // namespace tavo::core::infra::nap
