#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tavo::stampit {

// One jar or nativelib element of the applet's manifest.
struct JnlpResource {
    std::string href;  // as written
    std::string size;  // as written; empty when absent
};

struct JnlpManifest {
    std::string codebase;
    std::vector<JnlpResource> resources;
};

// Downloads the StampIT applet described by the portal's JNLP manifest and
// unpacks its native library. Every download goes through doFetch: the
// caller's portal fetcher (the logged-in session, which presents the smart
// card) for addresses on the portal's host, else an anonymous HTTPS request.
class JnlpDownloader {
public:
    // An empty result means nothing was fetched.
    using Fetcher = std::function<std::vector<std::uint8_t>(const std::string& url)>;

    static JnlpManifest parseJnlp(const std::string& xml);

    // Paths of the archives written into destDir, in manifest order.
    static std::vector<std::string> downloadAll(const std::string& destDir, const Fetcher& fetcher);

    // Path of the library written into destDir; empty on failure.
    static std::string downloadNativeLib(const std::string& jarHref, const std::string& libName,
                                         const std::string& destDir, const Fetcher& fetcher);

    // Path of the file written into destDir; empty on failure.
    static std::string downloadOne(const std::string& href, const std::string& destDir, const Fetcher& fetcher);

    // True when out holds the downloaded bytes; out is empty on every failure.
    static bool doFetch(const Fetcher& fetcher, const std::string& url, std::vector<std::uint8_t>& out);

    // True when the file at path is a regular file (not a link) that reads
    // as a whole ZIP archive; anything else must be downloaded again.
    static bool cachedArchiveIsWhole(const std::string& path);

    // Whether a manifest os or arch attribute admits the wanted value.
    static bool anyTokenMatches(const std::string& attr, const std::string& want);
};

}  // namespace tavo::stampit
