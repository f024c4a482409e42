#include "support/Nghttpd.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "support/PlainListener.h"
#include "support/TestPki.h"

namespace tavo::test {
namespace {

std::string nghttpdPath() {
    for (const char* candidate : {"/usr/sbin/nghttpd", "/usr/bin/nghttpd", "/usr/local/bin/nghttpd"})
        if (::access(candidate, X_OK) == 0) return candidate;
    throw std::runtime_error("Nghttpd: nghttpd not found (install the Debian package nghttp2-server)");
}

}  // namespace

Nghttpd::Nghttpd() : dir_("tavo-nghttpd") {
    const std::string binary = nghttpdPath();
    const IssuedCert& cert = TestPki::instance().server();
    std::filesystem::create_directories(dir_ / "www");
    port_ = freeLoopbackPort();
    const std::string log = (dir_ / "wire.log").string(), docroot = "--htdocs=" + (dir_ / "www").string();
    const std::string port = std::to_string(port_), key = cert.keyFile.string(), crt = cert.certFile.string();

    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("Nghttpd: fork failed");
    if (pid_ == 0) {
        int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out >= 0) {
            ::dup2(out, 1);
            ::dup2(out, 2);
        }
        ::execl(binary.c_str(), binary.c_str(), "--verbose", "--address=127.0.0.1", docroot.c_str(), port.c_str(),
                key.c_str(), crt.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // Ready once it accepts; a child that died says why in its log.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        if (acceptsOnLoopback(port_)) return;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("Nghttpd: nghttpd exited at start: " + readFile(log));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop();
    throw std::runtime_error("Nghttpd: nghttpd never accepted on port " + port);
}

void Nghttpd::put(const std::string& path, const std::string& content) {
    std::filesystem::path file = dir_.path() / "www" / std::filesystem::path(path).relative_path();
    std::filesystem::create_directories(file.parent_path());
    writeFile(file, content);
}

void Nghttpd::route(const std::vector<std::string>& hosts) {
    const std::string merged = connectToLoopback(hosts, 443, port_);
    env_.push_back(std::make_unique<ScopedEnv>("TAVO_TEST_CONNECT_TO", merged.c_str()));
    env_.push_back(std::make_unique<ScopedEnv>("TAVO_TEST_CA_FILE", TestPki::instance().caCertFile().c_str()));
}

std::string Nghttpd::wireLog() const {
    return readFile(dir_ / "wire.log");
}

void Nghttpd::stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    // Restored in the reverse order of setting.
    while (!env_.empty()) env_.pop_back();
}

}  // namespace tavo::test
