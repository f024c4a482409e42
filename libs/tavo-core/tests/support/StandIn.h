#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class SSLServer;
struct Request;
struct Response;
}  // namespace httplib

namespace tavo::test {

// One request as it crossed the wire to a stand-in.
struct RecordedRequest {
    std::string method;
    std::string path;    // decoded path, no query
    std::string query;   // raw text after '?', empty when none
    std::string target;  // path and query as the client sent them
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::string clientSubject;       // one-line subject of the client certificate, empty when none
    std::uint64_t connectionId = 0;  // same value for every request of one TLS connection
    bool resumedSession = false;     // the connection resumed an earlier TLS session (no full handshake)

    // First value of a header, names compared without letter case; empty when absent.
    std::string header(const std::string& name) const;
    std::size_t headerCount(const std::string& name) const;
    bool hasHeader(const std::string& name) const { return headerCount(name) > 0; }
};

// What a stand-in answers to one request.
struct Reply {
    int status = 200;
    std::string body;
    std::string contentType = "text/html; charset=utf-8";
    std::vector<std::pair<std::string, std::string>> headers;  // sent in order; names may repeat
    std::vector<std::string> setCookies;                       // one Set-Cookie line each
    std::chrono::milliseconds delay{0};  // wait before answering; cut short when the stand-in stops
    // Content-Length announces the whole body, but only this many bytes are
    // sent before the connection is dropped.
    std::optional<std::size_t> cutAfter;
    // A chunked body that never ends: the same bytes again and again until
    // the client gives up or the stand-in stops.
    bool endless = false;
    // The request is read whole (and journaled), then the connection ends
    // without a byte of answer: the client cannot know whether it was acted on.
    bool hangUp = false;

    static Reply text(std::string body, int status = 200, std::string contentType = "text/html; charset=utf-8");
    static Reply json(std::string body, int status = 200);
    static Reply redirect(const std::string& location, int status = 302);
    static Reply endlessBody(std::string contentType = "application/octet-stream");
    static Reply hangUpAfterReading();
};

// Thread-safe record of every request a stand-in received, in arrival order.
class Journal {
public:
    void add(RecordedRequest request);
    void clear();

    std::vector<RecordedRequest> all() const;
    std::size_t size() const;
    std::vector<std::string> paths() const;
    std::optional<RecordedRequest> last() const;
    // The latest request on that path (query ignored).
    std::optional<RecordedRequest> lastOn(const std::string& path) const;
    std::string clientSubjectOn(const std::string& path) const;
    // Distinct TLS connections that carried at least one request.
    std::size_t connectionCount() const;

private:
    mutable std::mutex mutex_;
    std::vector<RecordedRequest> requests_;
};

// An HTTPS server on 127.0.0.1 (port chosen by the system) presenting the test
// CA's certificate for every production host. Answers are scripted per test by
// routes; requests without a route get 404. Later registrations win over
// earlier ones, so a test can override the defaults of a richer stand-in.
class StandIn {
public:
    enum class ClientCert { None, Request, Require };
    struct Options {
        ClientCert clientCert = ClientCert::None;
        bool untrustedCertificate = false;  // present a certificate from a CA no test trusts
    };
    using Handler = std::function<Reply(const RecordedRequest&)>;
    using Matcher = std::function<bool(const RecordedRequest&)>;

    StandIn();
    explicit StandIn(Options options);
    // A foreign server the client trusts: it presents a test-CA certificate
    // for this one host instead of the agency's names.
    StandIn(Options options, const std::string& certificateHost);
    ~StandIn();
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;

    int port() const { return port_; }
    // "https://127.0.0.1:<port>"
    std::string base() const;

    // Method "*" matches every method.
    void on(const std::string& method, const std::string& path, Handler handler);
    void onPrefix(const std::string& method, const std::string& prefix, Handler handler);
    void onMatch(Matcher matcher, Handler handler);
    void reply(const std::string& method, const std::string& path, Reply reply);
    // One reply per request in turn; the last one repeats.
    void replySequence(const std::string& method, const std::string& path, std::vector<Reply> replies);
    // A same-host redirect chain that stalls before every answer: prefix + "0"
    // redirects (with `status`, relative Location) to prefix + "1" and so on;
    // prefix + `hops` answers 200 "end of the chain".
    void redirectChain(const std::string& method, const std::string& prefix, int hops, std::chrono::milliseconds stall,
                       int status = 302);

    Journal& journal() { return journal_; }
    const Journal& journal() const { return journal_; }
    // TLS handshakes a client began with this stand-in, whether or not a
    // request followed: zero means no byte of a client reached it.
    std::size_t handshakes() const { return handshakes_.load(); }

    // CURLOPT_CONNECT_TO entries sending these hosts' port 443 here.
    std::string connectToEntries(const std::vector<std::string>& hosts) const;
    // Points the hosts at this stand-in through TAVO_TEST_CONNECT_TO (other
    // entries kept) and trusts the test CA through TAVO_TEST_CA_FILE, until
    // the stand-in stops; the previous values come back then.
    void route(const std::vector<std::string>& hosts);

    // Ends pending delays, stops the server and restores the environment.
    // Idempotent; the destructor calls it.
    void stop();

private:
    struct Route {
        Matcher matcher;
        Handler handler;
    };
    void handle(const httplib::Request& req, httplib::Response& res);
    bool waitOrStop(std::chrono::milliseconds delay);
    void restoreEnvironment();

    Options options_;
    std::unique_ptr<httplib::SSLServer> server_;
    std::thread thread_;
    int port_ = 0;
    Journal journal_;
    std::atomic<std::size_t> handshakes_{0};

    std::mutex routesMutex_;
    std::vector<Route> routes_;

    std::mutex stopMutex_;
    std::condition_variable stopCv_;
    bool stopping_ = false;

    struct SavedEnv {
        bool saved = false;
        std::optional<std::string> connectTo, caFile;
    } savedEnv_;
};

// A TAVO_TEST_CONNECT_TO value: the given entries first, then those of the
// current value whose host and port the given ones do not name.
std::string mergeConnectTo(const std::string& current, const std::string& entries);

}  // namespace tavo::test
