#include "support/StandIn.h"

#include <httplib.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <set>
#include <stdexcept>

#include "support/TestPki.h"

namespace tavo::test {
namespace {

// The connection id lives on the SSL object itself: a new TLS connection is a
// new SSL object whose slot starts empty, so ids never repeat even when the
// allocator reuses addresses.
int connectionIndex() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

std::atomic<std::uint64_t> nextConnectionId{1};

std::uint64_t connectionIdOf(const SSL* ssl) {
    if (!ssl) return 0;
    auto* ptr = const_cast<SSL*>(ssl);
    auto id = reinterpret_cast<std::uintptr_t>(SSL_get_ex_data(ptr, connectionIndex()));
    if (id == 0) {
        id = nextConnectionId.fetch_add(1);
        SSL_set_ex_data(ptr, connectionIndex(), reinterpret_cast<void*>(id));
    }
    return id;
}

// The same one-line form as `openssl x509 -subject -nameopt utf8,sep_comma_plus_space`.
std::string subjectOf(const SSL* ssl) {
    if (!ssl) return {};
    X509* cert = SSL_get0_peer_certificate(ssl);
    if (!cert) return {};
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
    if (!bio) return {};
    X509_NAME_print_ex(bio.get(), X509_get_subject_name(cert), 0,
                       XN_FLAG_SEP_CPLUS_SPC | (ASN1_STRFLGS_RFC2253 & ~ASN1_STRFLGS_ESC_MSB));
    char* data = nullptr;
    long len = BIO_get_mem_data(bio.get(), &data);
    return len > 0 ? std::string(data, static_cast<std::size_t>(len)) : std::string();
}

// Pseudo headers httplib adds to every request; they never crossed the wire.
bool isPseudoHeader(const std::string& name) {
    return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT";
}

bool methodMatches(const std::string& wanted, const std::string& actual) {
    return wanted == "*" || wanted == actual;
}

std::string hostPortOf(const std::string& entry) {
    auto first = entry.find(':');
    if (first == std::string::npos) return entry;
    auto second = entry.find(':', first + 1);
    return entry.substr(0, second);
}

std::vector<std::string> splitComma(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        if (comma > start) out.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    return out;
}

}  // namespace

std::string RecordedRequest::header(const std::string& name) const {
    for (const auto& [k, v] : headers)
        if (strcasecmp(k.c_str(), name.c_str()) == 0) return v;
    return {};
}

std::size_t RecordedRequest::headerCount(const std::string& name) const {
    return static_cast<std::size_t>(std::count_if(
        headers.begin(), headers.end(), [&](const auto& h) { return strcasecmp(h.first.c_str(), name.c_str()) == 0; }));
}

Reply Reply::text(std::string body, int status, std::string contentType) {
    Reply r;
    r.status = status;
    r.body = std::move(body);
    r.contentType = std::move(contentType);
    return r;
}

Reply Reply::json(std::string body, int status) {
    return text(std::move(body), status, "application/json");
}

Reply Reply::endlessBody(std::string contentType) {
    Reply r;
    r.contentType = std::move(contentType);
    r.endless = true;
    return r;
}

Reply Reply::hangUpAfterReading() {
    Reply r;
    r.hangUp = true;
    return r;
}

Reply Reply::redirect(const std::string& location, int status) {
    Reply r;
    r.status = status;
    r.headers.emplace_back("Location", location);
    return r;
}

void Journal::add(RecordedRequest request) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(std::move(request));
}

void Journal::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

std::vector<RecordedRequest> Journal::all() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::size_t Journal::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.size();
}

std::vector<std::string> Journal::paths() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const auto& r : requests_) out.push_back(r.path);
    return out;
}

std::optional<RecordedRequest> Journal::last() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (requests_.empty()) return std::nullopt;
    return requests_.back();
}

std::optional<RecordedRequest> Journal::lastOn(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = requests_.rbegin(); it != requests_.rend(); ++it)
        if (it->path == path) return *it;
    return std::nullopt;
}

std::string Journal::clientSubjectOn(const std::string& path) const {
    auto r = lastOn(path);
    return r ? r->clientSubject : std::string();
}

std::size_t Journal::connectionCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::set<std::uint64_t> ids;
    for (const auto& r : requests_) ids.insert(r.connectionId);
    return ids.size();
}

StandIn::StandIn() : StandIn(Options{}) {}

StandIn::StandIn(Options options) : StandIn(options, std::string()) {}

StandIn::StandIn(Options options, const std::string& certificateHost) : options_(options) {
    TestPki& pki = TestPki::instance();
    const IssuedCert cert = !certificateHost.empty()        ? pki.serverFor(certificateHost)
                            : options_.untrustedCertificate ? pki.untrustedServer()
                                                            : pki.server();
    const std::string certFile = cert.certFile.string();
    const std::string keyFile = cert.keyFile.string();
    const std::string caFile = pki.caCertFile().string();
    const ClientCert mode = options_.clientCert;
    connectionIndex();

    server_ = std::make_unique<httplib::SSLServer>([&](SSL_CTX& ctx) {
        if (SSL_CTX_use_certificate_chain_file(&ctx, certFile.c_str()) != 1) return false;
        if (SSL_CTX_use_PrivateKey_file(&ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) return false;
        if (mode != ClientCert::None) {
            if (SSL_CTX_load_verify_locations(&ctx, caFile.c_str(), nullptr) != 1) return false;
            SSL_CTX_set_client_CA_list(&ctx, SSL_load_client_CA_file(caFile.c_str()));
            int verify = SSL_VERIFY_PEER;
            if (mode == ClientCert::Require) verify |= SSL_VERIFY_FAIL_IF_NO_PEER_CERT;
            SSL_CTX_set_verify(&ctx, verify, nullptr);
        }
        // A client may resume its TLS session on a new connection (after the
        // stand-in closed an idle one); with client certificates requested,
        // OpenSSL refuses resumption unless the server names a session context.
        static const unsigned char kSessionContext[] = "tavo-stand-in";
        if (SSL_CTX_set_session_id_context(&ctx, kSessionContext, sizeof kSessionContext - 1) != 1) return false;
        SSL_CTX_set_app_data(&ctx, this);
        SSL_CTX_set_info_callback(&ctx, [](const SSL* ssl, int where, int) {
            if (!(where & SSL_CB_HANDSHAKE_START)) return;
            // TLS 1.3 post-handshake messages start "handshakes" too: count
            // only the first of each connection.
            if (SSL_is_init_finished(ssl)) return;
            auto* self = static_cast<StandIn*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
            if (self) ++self->handshakes_;
        });
        return true;
    });
    if (!server_->is_valid()) throw std::runtime_error("StandIn: TLS set-up failed for " + certFile);

    // Long-lived connections, so that tests can count how many a client opens.
    server_->set_keep_alive_max_count(1000000);
    server_->set_keep_alive_timeout(30);
    // Headers and body go out in separate writes; without this, Nagle's
    // algorithm and the client's delayed ACK add ~40 ms to every answer.
    server_->set_tcp_nodelay(true);
    auto dispatch = [this](const httplib::Request& req, httplib::Response& res) { handle(req, res); };
    server_->Get(".*", dispatch);
    server_->Post(".*", dispatch);
    server_->Put(".*", dispatch);
    server_->Delete(".*", dispatch);
    server_->Patch(".*", dispatch);
    server_->Options(".*", dispatch);
    // The portal's PL/SQL upload forms carry megabytes as one form body, far
    // above the 8 KB cap the packaged cpp-httplib puts on form bodies (413):
    // those are read through a content reader instead, which has no cap.
    server_->Post(R"(.*\.upload_file)",
                  [this](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
                      httplib::Request whole = req;
                      reader([&whole](const char* data, size_t length) {
                          whole.body.append(data, length);
                          return true;
                      });
                      handle(whole, res);
                  });

    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("StandIn: cannot bind 127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // stop() only takes effect once the accept loop runs.
    while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

StandIn::~StandIn() {
    stop();
}

std::string StandIn::base() const {
    return "https://127.0.0.1:" + std::to_string(port_);
}

void StandIn::on(const std::string& method, const std::string& path, Handler handler) {
    onMatch([method, path](const RecordedRequest& r) { return methodMatches(method, r.method) && r.path == path; },
            std::move(handler));
}

void StandIn::onPrefix(const std::string& method, const std::string& prefix, Handler handler) {
    onMatch(
        [method, prefix](const RecordedRequest& r) {
            return methodMatches(method, r.method) && r.path.compare(0, prefix.size(), prefix) == 0;
        },
        std::move(handler));
}

void StandIn::onMatch(Matcher matcher, Handler handler) {
    std::lock_guard<std::mutex> lock(routesMutex_);
    routes_.push_back(Route{std::move(matcher), std::move(handler)});
}

void StandIn::reply(const std::string& method, const std::string& path, Reply reply) {
    on(method, path, [reply = std::move(reply)](const RecordedRequest&) { return reply; });
}

void StandIn::replySequence(const std::string& method, const std::string& path, std::vector<Reply> replies) {
    if (replies.empty()) replies.push_back(Reply::text("", 204));
    auto state = std::make_shared<std::pair<std::mutex, std::size_t>>();
    on(method, path, [state, replies = std::move(replies)](const RecordedRequest&) {
        std::lock_guard<std::mutex> lock(state->first);
        std::size_t i = std::min(state->second++, replies.size() - 1);
        return replies[i];
    });
}

void StandIn::redirectChain(const std::string& method, const std::string& prefix, int hops,
                            std::chrono::milliseconds stall, int status) {
    onPrefix(method, prefix, [prefix, hops, stall, status](const RecordedRequest& r) {
        const int hop = std::atoi(r.path.c_str() + prefix.size());
        Reply reply =
            hop < hops ? Reply::redirect(prefix + std::to_string(hop + 1), status) : Reply::text("end of the chain");
        reply.delay = stall;
        return reply;
    });
}

std::string StandIn::connectToEntries(const std::vector<std::string>& hosts) const {
    std::string out;
    for (const auto& host : hosts) {
        if (!out.empty()) out += ',';
        out += host + ":443:127.0.0.1:" + std::to_string(port_);
    }
    return out;
}

std::string mergeConnectTo(const std::string& current, const std::string& entries) {
    std::vector<std::string> fresh = splitComma(entries);
    std::set<std::string> replaced;
    for (const auto& e : fresh) replaced.insert(hostPortOf(e));
    std::string out = entries;
    for (const auto& e : splitComma(current)) {
        if (replaced.count(hostPortOf(e))) continue;
        if (!out.empty()) out += ',';
        out += e;
    }
    return out;
}

void StandIn::route(const std::vector<std::string>& hosts) {
    auto read = [](const char* name) -> std::optional<std::string> {
        const char* v = std::getenv(name);
        return v ? std::optional<std::string>(v) : std::nullopt;
    };
    if (!savedEnv_.saved) {
        savedEnv_.saved = true;
        savedEnv_.connectTo = read("TAVO_TEST_CONNECT_TO");
        savedEnv_.caFile = read("TAVO_TEST_CA_FILE");
    }
    std::string merged = mergeConnectTo(read("TAVO_TEST_CONNECT_TO").value_or(""), connectToEntries(hosts));
    ::setenv("TAVO_TEST_CONNECT_TO", merged.c_str(), 1);
    ::setenv("TAVO_TEST_CA_FILE", TestPki::instance().caCertFile().c_str(), 1);
}

void StandIn::restoreEnvironment() {
    if (!savedEnv_.saved) return;
    savedEnv_.saved = false;
    auto put = [](const char* name, const std::optional<std::string>& v) {
        if (v)
            ::setenv(name, v->c_str(), 1);
        else
            ::unsetenv(name);
    };
    put("TAVO_TEST_CONNECT_TO", savedEnv_.connectTo);
    put("TAVO_TEST_CA_FILE", savedEnv_.caFile);
}

void StandIn::stop() {
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        stopping_ = true;
    }
    stopCv_.notify_all();
    if (server_) server_->stop();
    if (thread_.joinable()) thread_.join();
    restoreEnvironment();
}

bool StandIn::waitOrStop(std::chrono::milliseconds delay) {
    std::unique_lock<std::mutex> lock(stopMutex_);
    return !stopCv_.wait_for(lock, delay, [this] { return stopping_; });
}

void StandIn::handle(const httplib::Request& req, httplib::Response& res) {
    RecordedRequest r;
    r.method = req.method;
    r.path = req.path;
    r.target = req.target;
    if (auto q = req.target.find('?'); q != std::string::npos) r.query = req.target.substr(q + 1);
    for (const auto& [name, value] : req.headers)
        if (!isPseudoHeader(name)) r.headers.emplace_back(name, value);
    r.body = req.body;
    r.clientSubject = subjectOf(req.ssl);
    r.connectionId = connectionIdOf(req.ssl);
    r.resumedSession = req.ssl && SSL_session_reused(const_cast<SSL*>(req.ssl)) == 1;
    journal_.add(r);

    Handler handler;
    {
        std::lock_guard<std::mutex> lock(routesMutex_);
        for (auto it = routes_.rbegin(); it != routes_.rend(); ++it) {
            if (it->matcher(r)) {
                handler = it->handler;
                break;
            }
        }
    }
    Reply reply = handler ? handler(r) : Reply::text("no route for " + r.method + " " + r.path, 404, "text/plain");

    if (reply.delay.count() > 0 && !waitOrStop(reply.delay)) {
        res.status = 503;
        return;
    }
    if (reply.hangUp) {
        // Both directions closed under httplib: its answer goes nowhere.
        if (req.ssl) ::shutdown(SSL_get_fd(req.ssl), SHUT_RDWR);
        res.status = 500;
        return;
    }
    res.status = reply.status;
    for (const auto& [name, value] : reply.headers) res.headers.emplace(name, value);
    for (const auto& cookie : reply.setCookies) res.headers.emplace("Set-Cookie", cookie);
    if (reply.endless) {
        auto chunk = std::make_shared<std::string>(64 * 1024, '{');
        res.set_chunked_content_provider(reply.contentType, [this, chunk](std::size_t, httplib::DataSink& sink) {
            {
                std::lock_guard<std::mutex> lock(stopMutex_);
                if (stopping_) return false;
            }
            return sink.write(chunk->data(), chunk->size());
        });
    } else if (reply.cutAfter) {
        auto body = std::make_shared<std::string>(std::move(reply.body));
        std::size_t cut = std::min(*reply.cutAfter, body->size());
        // Returning false after the first part makes httplib drop the
        // connection with the announced length unmet.
        res.set_content_provider(body->size(), reply.contentType,
                                 [body, cut](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                     if (offset < cut) sink.write(body->data() + offset, cut - offset);
                                     return false;
                                 });
    } else if (!reply.body.empty() || reply.status != 204) {
        res.set_content(reply.body, reply.contentType);
        // An empty content type means an answer without the header at all.
        if (reply.contentType.empty()) res.headers.erase("Content-Type");
    }
}

}  // namespace tavo::test
