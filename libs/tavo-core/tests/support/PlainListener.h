#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/TempDir.h"

namespace tavo::test {

// A plain-text TCP listener on 127.0.0.1 standing for a server's http port.
// It counts the connections made to it and answers each with a bare
// "200 OK", so that a client that did come here would see success.
class PlainListener {
public:
    PlainListener();
    ~PlainListener() { stop(); }
    PlainListener(const PlainListener&) = delete;
    PlainListener& operator=(const PlainListener&) = delete;

    std::size_t connections() const { return connections_.load(); }

    // Sends port 80 of these hosts here through TAVO_TEST_CONNECT_TO (other
    // entries kept) until the listener stops.
    void route(const std::vector<std::string>& hosts);
    // Idempotent; the destructor calls it.
    void stop();

private:
    void serve();

    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> connections_{0};
    std::thread thread_;
    std::unique_ptr<ScopedEnv> routed_;
};

// A free port of 127.0.0.1 at the time of the call (for servers that must be
// told their port, such as nghttpd).
int freeLoopbackPort();
// Whether something accepts connections on this port of 127.0.0.1.
bool acceptsOnLoopback(int port);
// TAVO_TEST_CONNECT_TO with `hostPort` of these hosts sent to 127.0.0.1:`port`,
// the other entries kept.
std::string connectToLoopback(const std::vector<std::string>& hosts, int hostPort, int port);

}  // namespace tavo::test
