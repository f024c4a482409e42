#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace tavo::test {

// A real HTTP/2 server: `nghttpd` (Debian package nghttp2-server) on
// 127.0.0.1 with the test CA's certificate for every production host,
// serving files from a throwaway folder. It speaks HTTP/2 only, over TLS with
// ALPN, as a modern server would. Its verbose output (every frame and header
// it received) is kept in a file, so a test can prove what crossed the wire.
class Nghttpd {
public:
    Nghttpd();
    ~Nghttpd() { stop(); }
    Nghttpd(const Nghttpd&) = delete;
    Nghttpd& operator=(const Nghttpd&) = delete;

    // Serves `content` at `path` ("/a/b.json").
    void put(const std::string& path, const std::string& content);
    // Points port 443 of these hosts here and trusts the test CA, until the
    // server stops.
    void route(const std::vector<std::string>& hosts);
    // What nghttpd printed so far: received headers appear as "name: value".
    std::string wireLog() const;
    // SIGTERM, then waits for the process. Idempotent; the destructor calls it.
    void stop();

private:
    TempDir dir_;
    int port_ = 0;
    pid_t pid_ = -1;
    std::vector<std::unique_ptr<ScopedEnv>> env_;
};

}  // namespace tavo::test
