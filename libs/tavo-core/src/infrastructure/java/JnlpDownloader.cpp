#include "infrastructure/java/JnlpDownloader.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <filesystem>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "common/Ascii.h"
#include "common/CPtr.h"
#include "common/Files.h"
#include "common/Logger.h"
#include "common/Paths.h"
#include "common/Utf8.h"
#include "infrastructure/http/CurlHandles.h"
#include "infrastructure/http/HttpClient.h"
#include "infrastructure/http/NapEndpoints.h"
#include "infrastructure/java/ManifestScanner.h"
#include "infrastructure/java/ZipReader.h"

namespace tavo::stampit {
namespace {

namespace fs = std::filesystem;
namespace nap = core::infra::nap;
namespace http = core::infra::http;
namespace utf8 = core::common::utf8;
namespace files = core::common::files;

// The platform the agent runs as, whatever Java runtime is found.
constexpr const char* kOwnOs = "Mac OS X";
constexpr const char* kOwnArch = "aarch64";
constexpr const char* kUserAgent = "TavoAgentC/0.1";
constexpr long kAnonymousTimeoutSeconds = 120;
constexpr std::size_t kPreviewBytes = 500;

std::string manifestUrl() {
    return std::string(nap::kPortalBase) + "/ls/java/stampitls-vat.jnlp";
}

std::string defaultCodebase() {
    return std::string(nap::kPortalBase) + "/ls";
}

// Manifest-derived text may hold line breaks or invalid bytes: one log line each.
std::string forLog(std::string_view text) {
    return utf8::escapeForLog(text);
}

bool isAbsoluteHttp(std::string_view href) {
    return href.starts_with("http://") || href.starts_with("https://");
}

std::string lastPathComponent(std::string_view path) {
    std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// The name an href is cached under: the last component of its path, without
// a query or fragment ("VATClientService.jar?v=2" is VATClientService.jar,
// the name the installation looks for).
std::string cacheName(std::string_view href) {
    return lastPathComponent(href.substr(0, href.find_first_of("?#")));
}

// A file name of the cache: never empty and never a way out of the folder.
std::optional<fs::path> cacheTarget(const std::string& destDir, std::string_view href) {
    std::string name = cacheName(href);
    if (name.empty() || name == "." || name == "..") return std::nullopt;
    return fs::path(destDir) / name;
}

bool looksLikeArchive(const std::vector<std::uint8_t>& bytes) {
    return bytes.size() >= 4 && bytes[0] == 'P' && bytes[1] == 'K' && bytes[2] == 0x03 && bytes[3] == 0x04 &&
           formats::zipLooksWhole(bytes);
}

// The applet lists three archives and a native one; a manifest with far more
// is not the applet's, and would be fetched one by one.
constexpr std::size_t kMaxManifestResources = 300;
// A cached archive larger than this is not read back to be checked.
constexpr std::uint64_t kMaxCachedArchiveBytes = std::uint64_t{256} * 1024 * 1024;

// Two resources cached under one name (letter case folded, as on the
// agent's case-insensitive file systems) would overwrite each other; the
// first such pair, when there is one.
std::optional<std::pair<std::string, std::string>> cacheNameClash(const std::vector<JnlpResource>& resources) {
    std::unordered_map<std::string, const std::string*> seen;
    for (const JnlpResource& r : resources) {
        const std::string name = core::common::ascii::lowerCopy(cacheName(r.href));
        if (name.empty()) continue;
        auto [it, inserted] = seen.emplace(name, &r.href);
        if (!inserted && *it->second != r.href) return std::make_pair(*it->second, r.href);
    }
    return std::nullopt;
}

bool namesArchive(std::string_view name) {
    std::string lower = core::common::ascii::lowerCopy(name);
    auto endsWith = [&](std::string_view suffix) {
        return lower.size() >= suffix.size() && lower.compare(lower.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    return endsWith(".jar") || endsWith(".zip");
}

// Written under a temporary name in the same folder, synced and renamed, so
// the cache holds the old file or the whole new one, never a torn one; a
// link or a FIFO in its place is replaced, never followed.
bool writeReplacing(const fs::path& target, const std::vector<std::uint8_t>& bytes) {
    // An empty folder under the file's name would keep it out for good;
    // anything with content in it is left alone (and the write fails).
    struct stat info {};
    if (::lstat(target.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) ::rmdir(target.c_str());
    return static_cast<bool>(files::replaceFileAtomically(target.string(), bytes, 0644));
}

using http::parseUrl;
using http::UrlParts;

// Only the portal may see the session and its smart card.
bool isPortalAddress(const UrlParts& parts) {
    return parts.scheme == "https" && parts.host == nap::kPortalHost && (parts.port.empty() || parts.port == "443");
}

bool fetchUrlAnonymous(const std::string& url, std::vector<std::uint8_t>& out) {
    struct Writer {
        http::CappedSink sink;
        bool failed = false;
        // Called from C: nothing may escape it.
        static std::size_t cb(char* data, std::size_t size, std::size_t count, void* userdata) noexcept {
            auto* w = static_cast<Writer*>(userdata);
            try {
                return w->sink.append(data, size * count) ? size * count : 0;
            } catch (...) {
                w->failed = true;
                return 0;
            }
        }
    };

    out.clear();
    http::CurlSlistPtr seam;  // outlives the handle that points at it
    http::CurlEasyPtr handle(curl_easy_init());
    if (!handle) return false;
    CURL* h = handle.get();
    Writer writer{http::CappedSink(http::HttpClientOptions::kDefaultMaxDownloadBytes)};
    // The shared policy keeps every hop on https; this request carries
    // neither card nor cookie, so a redirect may go to any https host.
    std::string setupError = http::applyHandlePolicy(h, seam);
    http::CurlSetter s(h);
    if (!setupError.empty()) s.fail(setupError);
    TAVO_CURL_SET(s, CURLOPT_URL, url.c_str());
    TAVO_CURL_SET(s, CURLOPT_FOLLOWLOCATION, 1L);
    TAVO_CURL_SET(s, CURLOPT_TIMEOUT, kAnonymousTimeoutSeconds);
    TAVO_CURL_SET(s, CURLOPT_USERAGENT, kUserAgent);
    TAVO_CURL_SET(s, CURLOPT_WRITEFUNCTION, &Writer::cb);
    TAVO_CURL_SET(s, CURLOPT_WRITEDATA, &writer);
    if (!s.ok()) {
        Logger::error("JnlpDownloader: anonymous request set-up failed: " + s.error());
        return false;
    }

    CURLcode rc = curl_easy_perform(h);
    long code = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
    if (rc != CURLE_OK) {
        // A cut-off transfer must never pass for the whole file.
        out.clear();
        const std::string why = writer.sink.exceeded() ? writer.sink.error()
                                : writer.failed        ? std::string("out of memory while reading the answer")
                                                       : std::string(curl_easy_strerror(rc));
        Logger::warn("JnlpDownloader: curl error on " + forLog(url) + ": " + why);
        return false;
    }
    if (code >= 200 && code <= 299) {
        writer.sink.moveTo(out);
        return !out.empty();
    }
    Logger::warn("JnlpDownloader: HTTP " + std::to_string(code) + " for " + forLog(url));
    return false;
}

std::string joinUrl(const std::string& base, const std::string& href) {
    if (isAbsoluteHttp(href)) return href;
    if (!base.empty() && base.back() != '/' && !href.empty() && href.front() != '/') return base + "/" + href;
    return base + href;
}

std::string portalRelative(const std::string& href) {
    return std::string(nap::kPortalBase) + "/ls/" + href;
}

void logRefusal(const formats::RefusedEntry& r) {
    using formats::EntryRefusal;
    const std::string name = forLog(r.name);
    switch (r.reason) {
        case EntryRefusal::UnsupportedMethod:
            Logger::warn("JnlpDownloader: entry '" + name + "' uses unsupported compression method " +
                         std::to_string(r.method));
            break;
        case EntryRefusal::InflateFailed:
            Logger::warn("JnlpDownloader: inflate failed for '" + name + "'");
            break;
        case EntryRefusal::TooLarge:
            Logger::warn("JnlpDownloader: entry '" + name + "' declares " + std::to_string(r.declaredSize) +
                         " bytes, more than the " + std::to_string(formats::kMaxLibraryBytes) + " allowed");
            break;
        case EntryRefusal::SizeMismatch:
            Logger::warn("JnlpDownloader: entry '" + name + "' does not unpack to its declared " +
                         std::to_string(r.declaredSize) + " bytes");
            break;
        case EntryRefusal::CrcMismatch:
            Logger::warn("JnlpDownloader: CRC-32 mismatch for '" + name + "'");
            break;
        case EntryRefusal::BudgetSpent:
            Logger::warn("JnlpDownloader: entry '" + name + "' not unpacked: the archive's entries would unpack to " +
                         "more than " + std::to_string(formats::kMaxUnpackedTotal) + " bytes in all");
            break;
    }
}

}  // namespace

bool JnlpDownloader::anyTokenMatches(const std::string& attr, const std::string& want) {
    if (attr.empty()) return true;
    std::string plain;
    plain.reserve(attr.size());
    for (std::size_t i = 0; i < attr.size(); ++i) {
        if (attr[i] == '\\' && i + 1 < attr.size()) ++i;
        plain += attr[i];
    }
    const std::string lowerWant = core::common::ascii::lowerCopy(want);
    const std::string lowerPlain = core::common::ascii::lowerCopy(plain);
    if (lowerPlain == lowerWant) return true;
    constexpr std::string_view kBlanks = " \t\n\v\f\r";
    std::size_t pos = 0;
    while (pos < lowerPlain.size()) {
        std::size_t begin = lowerPlain.find_first_not_of(kBlanks, pos);
        if (begin == std::string::npos) break;
        std::size_t end = lowerPlain.find_first_of(kBlanks, begin);
        if (end == std::string::npos) end = lowerPlain.size();
        if (std::string_view(lowerPlain).substr(begin, end - begin) == lowerWant) return true;
        pos = end;
    }
    return false;
}

JnlpManifest JnlpDownloader::parseJnlp(const std::string& xml) {
    JnlpManifest manifest;
    if (auto codebase = formats::findCodebase(xml)) manifest.codebase = std::move(*codebase);
    if (manifest.codebase.empty()) manifest.codebase = defaultCodebase();

    for (const formats::ResourcesBlock& block : formats::findResourcesBlocks(xml)) {
        const std::string os = formats::findAttribute(block.attributes, "os").value_or("");
        const std::string arch = formats::findAttribute(block.attributes, "arch").value_or("");
        if (!anyTokenMatches(os, kOwnOs) || !anyTokenMatches(arch, kOwnArch)) continue;
        for (formats::JarMatch& jar : formats::findJars(block.body))
            manifest.resources.push_back({std::move(jar.href), std::move(jar.size)});
    }

    std::unordered_set<std::string> seen;
    for (const JnlpResource& r : manifest.resources) seen.insert(r.href);
    for (formats::JarMatch& jar : formats::findJars(formats::cutResourcesBlocks(xml))) {
        if (!seen.insert(jar.href).second) continue;
        manifest.resources.push_back({std::move(jar.href), std::move(jar.size)});
    }
    return manifest;
}

bool JnlpDownloader::doFetch(const Fetcher& fetcher, const std::string& url, std::vector<std::uint8_t>& out) {
    out.clear();
    std::optional<UrlParts> parts = parseUrl(url);
    if (!parts || parts->scheme != "https") {
        Logger::warn("JnlpDownloader: refusing " + forLog(url) + " — not an https address");
        return false;
    }
    if (fetcher) {
        if (isPortalAddress(*parts)) {
            try {
                out = fetcher(url);
            } catch (const std::exception& e) {
                out.clear();
                Logger::warn(std::string("JnlpDownloader: session fetch threw: ") + e.what());
            }
            if (!out.empty()) return true;
            Logger::warn("JnlpDownloader: session fetch returned 0 bytes for " + forLog(url) +
                         "; trying anonymous fallback");
        } else {
            Logger::info("JnlpDownloader: " + forLog(url) + " is not on " + nap::kPortalHost +
                         "; fetching it anonymously, without the smart card");
        }
    }
    return fetchUrlAnonymous(url, out);
}

namespace {

// The manifest's body, or nothing (logged) when it cannot be fetched.
std::optional<std::string> fetchManifest(const JnlpDownloader::Fetcher& fetcher) {
    const std::string url = manifestUrl();
    Logger::info("JnlpDownloader: fetching " + url + (fetcher ? " (authenticated)" : " (anonymous)"));
    std::vector<std::uint8_t> body;
    if (!JnlpDownloader::doFetch(fetcher, url, body)) {
        Logger::error(std::string("JnlpDownloader: failed to fetch JNLP manifest — likely not logged in to ") +
                      nap::kPortalHost);
        return std::nullopt;
    }
    Logger::info("JnlpDownloader: received " + std::to_string(body.size()) + " bytes");
    return std::string(body.begin(), body.end());
}

// False (logged) for a manifest that lists nothing, too much, or two
// archives under one cache name.
bool manifestIsUsable(const JnlpManifest& manifest, const std::string& xml) {
    if (manifest.resources.empty()) {
        const std::string preview =
            xml.size() <= kPreviewBytes ? forLog(xml) : forLog(utf8::cut(xml, kPreviewBytes)) + "...";
        Logger::error("JnlpDownloader: manifest parsed 0 jar entries. Body preview: " + preview);
        return false;
    }
    if (manifest.resources.size() > kMaxManifestResources) {
        Logger::error("JnlpDownloader: manifest refused — it lists " + std::to_string(manifest.resources.size()) +
                      " resources, more than the " + std::to_string(kMaxManifestResources) + " allowed");
        return false;
    }
    if (auto clash = cacheNameClash(manifest.resources)) {
        Logger::error("JnlpDownloader: manifest refused — '" + forLog(clash->first) + "' and '" +
                      forLog(clash->second) + "' would be cached as the same file " + forLog(cacheName(clash->second)));
        return false;
    }
    Logger::info("JnlpDownloader: manifest codebase=" + forLog(manifest.codebase) +
                 " jars=" + std::to_string(manifest.resources.size()));
    for (const JnlpResource& r : manifest.resources) Logger::info("  jar href=" + forLog(r.href));
    return true;
}

// Fetches one archive into the cache; the path written, or nothing (logged).
std::optional<std::string> downloadResource(const std::string& base, const JnlpResource& r, const std::string& destDir,
                                            const JnlpDownloader::Fetcher& fetcher) {
    const std::string jarUrl = joinUrl(base, r.href);
    Logger::info("JnlpDownloader: GET " + forLog(jarUrl));
    std::vector<std::uint8_t> bytes;
    if (!JnlpDownloader::doFetch(fetcher, jarUrl, bytes)) {
        Logger::warn("JnlpDownloader: failed to fetch " + forLog(jarUrl));
        return std::nullopt;
    }
    // An error page or a login form must never pass for an archive in the cache.
    if (!looksLikeArchive(bytes)) {
        Logger::warn("JnlpDownloader: " + forLog(jarUrl) + " is not a Java archive (" + std::to_string(bytes.size()) +
                     " bytes); not cached");
        return std::nullopt;
    }
    std::optional<fs::path> target = cacheTarget(destDir, r.href);
    if (!target || !writeReplacing(*target, bytes)) {
        Logger::warn("JnlpDownloader: cannot write " +
                     forLog(target ? target->string() : (fs::path(destDir) / r.href).string()));
        return std::nullopt;
    }
    return target->string();
}

// The cache folder, checked before anything is written into it.
bool prepareCacheFolder(const std::string& destDir) {
    if (Paths::ensureDirectory(destDir)) return true;
    Logger::error("JnlpDownloader: cache folder " + forLog(destDir) + " refused; nothing written there");
    return false;
}

}  // namespace

std::vector<std::string> JnlpDownloader::downloadAll(const std::string& destDir, const Fetcher& fetcher) {
    const std::optional<std::string> xml = fetchManifest(fetcher);
    if (!xml) return {};
    const JnlpManifest manifest = parseJnlp(*xml);
    if (!manifestIsUsable(manifest, *xml) || !prepareCacheFolder(destDir)) return {};

    const std::string base = manifest.codebase.empty() ? defaultCodebase() : manifest.codebase;
    std::vector<std::string> written;
    for (const JnlpResource& r : manifest.resources) {
        if (auto path = downloadResource(base, r, destDir, fetcher)) written.push_back(std::move(*path));
    }
    Logger::info("JnlpDownloader: downloaded " + std::to_string(written.size()) + " JAR(s) to " + forLog(destDir));
    return written;
}

std::string JnlpDownloader::downloadNativeLib(const std::string& jarHref, const std::string& libName,
                                              const std::string& destDir, const Fetcher& fetcher) {
    std::vector<std::uint8_t> archive;
    if (!doFetch(fetcher, portalRelative(jarHref), archive)) return {};
    Logger::info("JnlpDownloader: extracting " + libName + " from " + forLog(jarHref) + " (" +
                 std::to_string(archive.size()) + " bytes)");

    formats::Extraction extraction = formats::extractEntry(archive, core::common::ascii::lowerCopy(libName));
    for (const formats::RefusedEntry& r : extraction.refused) logRefusal(r);
    if (extraction.repeatsSkipped > 0)
        Logger::warn("JnlpDownloader: " + std::to_string(extraction.repeatsSkipped) +
                     " entries repeat an entry already refused; skipped");
    if (!extraction.library) {
        Logger::warn("JnlpDownloader: could not extract " + libName + " from " + forLog(jarHref) + " — contents:");
        const std::string jarName = forLog(lastPathComponent(jarHref));
        const std::vector<formats::ZipEntry> entries = formats::listZipEntries(archive);
        for (const formats::ZipEntry& e : entries) {
            Logger::info("  [" + jarName + "] " + forLog(e.name) + " (" + formats::methodText(e.method) + ", " +
                         std::to_string(e.uncompressedSize) + " bytes)");
        }
        Logger::info("  [" + jarName + "] total " + std::to_string(entries.size()) + " entries");
        return {};
    }
    Logger::info("JnlpDownloader: extracted " + libName + " (" + std::to_string(extraction.library->size()) +
                 " bytes)");

    if (!prepareCacheFolder(destDir)) return {};
    const fs::path target = fs::path(destDir) / libName;
    if (!writeReplacing(target, *extraction.library)) return {};
    Logger::info("JnlpDownloader: wrote " + target.string());
    return target.string();
}

std::string JnlpDownloader::downloadOne(const std::string& href, const std::string& destDir, const Fetcher& fetcher) {
    const std::string url = isAbsoluteHttp(href) ? href : portalRelative(href);
    Logger::info("JnlpDownloader: GET " + forLog(url));
    std::vector<std::uint8_t> bytes;
    if (!doFetch(fetcher, url, bytes)) {
        Logger::warn("JnlpDownloader: failed to fetch " + forLog(url));
        return {};
    }
    if (!prepareCacheFolder(destDir)) return {};
    std::optional<fs::path> target = cacheTarget(destDir, href);
    if (target && namesArchive(target->filename().string()) && !looksLikeArchive(bytes)) {
        Logger::warn("JnlpDownloader: " + forLog(url) + " is not a Java archive (" + std::to_string(bytes.size()) +
                     " bytes); not cached");
        return {};
    }
    if (!target || !writeReplacing(*target, bytes)) {
        Logger::warn("JnlpDownloader: cannot write " +
                     forLog(target ? target->string() : (fs::path(destDir) / href).string()));
        return {};
    }
    Logger::info("JnlpDownloader: wrote " + target->string() + " (" + std::to_string(bytes.size()) + " bytes)");
    return target->string();
}

bool JnlpDownloader::cachedArchiveIsWhole(const std::string& path) {
    // No link is followed and no file another account could have planted or
    // changed is taken: the cache holds the files we wrote, nothing else.
    files::ReadOptions options;
    options.followLinks = false;
    options.requireOwnFile = true;
    options.maxBytes = kMaxCachedArchiveBytes;
    files::ReadResult read = files::readRegularFile(path, options);
    if (!read.ok()) return false;
    const std::vector<std::uint8_t>& bytes = read.bytes;
    return formats::zipLooksWhole(bytes);
}

}  // namespace tavo::stampit
