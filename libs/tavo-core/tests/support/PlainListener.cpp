#include "support/PlainListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "support/StandIn.h"

namespace tavo::test {
namespace {

sockaddr_in loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

int boundPortOf(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return ntohs(addr.sin_port);
}

}  // namespace

int freeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) throw std::runtime_error("freeLoopbackPort: socket failed");
    sockaddr_in addr = loopback(0);
    int port = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 ? boundPortOf(fd) : 0;
    ::close(fd);
    if (port <= 0) throw std::runtime_error("freeLoopbackPort: bind failed");
    return port;
}

PlainListener::PlainListener() {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) throw std::runtime_error("PlainListener: socket failed");
    sockaddr_in addr = loopback(0);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listenFd_, 16) != 0) {
        ::close(listenFd_);
        throw std::runtime_error("PlainListener: cannot listen on 127.0.0.1");
    }
    port_ = boundPortOf(listenFd_);
    thread_ = std::thread([this] { serve(); });
}

void PlainListener::serve() {
    static const char kAnswer[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
    while (!stopping_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++connections_;
        // Read what the client sends in one go, then answer and close.
        char buffer[4096];
        for (;;) {
            pollfd c{fd, POLLIN, 0};
            if (::poll(&c, 1, 200) <= 0) break;
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            if (std::string(buffer, static_cast<std::size_t>(n)).find("\r\n\r\n") != std::string::npos) break;
        }
        (void)!::write(fd, kAnswer, sizeof kAnswer - 1);
        ::close(fd);
    }
}

bool acceptsOnLoopback(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopback(port);
    bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (fd >= 0) ::close(fd);
    return ok;
}

std::string connectToLoopback(const std::vector<std::string>& hosts, int hostPort, int port) {
    std::string entries;
    for (const auto& host : hosts)
        entries +=
            (entries.empty() ? "" : ",") + host + ":" + std::to_string(hostPort) + ":127.0.0.1:" + std::to_string(port);
    const char* current = std::getenv("TAVO_TEST_CONNECT_TO");
    return mergeConnectTo(current ? current : "", entries);
}

void PlainListener::route(const std::vector<std::string>& hosts) {
    routed_.reset();
    routed_ = std::make_unique<ScopedEnv>("TAVO_TEST_CONNECT_TO", connectToLoopback(hosts, 80, port_).c_str());
}

void PlainListener::stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        listenFd_ = -1;
    }
    routed_.reset();
}

}  // namespace tavo::test
