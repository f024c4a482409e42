#include "TavoEngine.h"

#include <mutex>
#include <optional>
#include <utility>

#include "common/Logger.h"
#include "common/SafeJson.h"
#include "common/Utf8.h"
#include "domain/NapIdentifiers.h"
#include "domain/NapSession.h"
#include "operations/OperationKinds.h"
#include "operations/OperationRegistry.h"
#include "operations/ParameterJson.h"
#include "operations/ResultProjection.h"

namespace tavo::core {

using namespace tavo::core::operations;
using nlohmann::json;

struct TavoEngine::Impl {
    std::unique_ptr<ISettingsProvider> settings;
    std::unique_ptr<domain::NapSession> session;
    signing::ISigner* signer = nullptr;
    stampit::StampItBridge* bridge = nullptr;
    bool initialised = false;
    // The settings listener while initialised: registered once, removed at
    // shut-down, so cycles never pile listeners up.
    std::optional<ISettingsProvider::ListenerId> listener;
    // The sender whose identity the session holds (empty: none). The settings
    // name a new active sender before its listener runs, so only this tells
    // which identity an operation would run with.
    std::string sessionSenderId;
    // Recursive: a sender switch runs the settings listener on this thread,
    // which comes back into the engine.
    std::recursive_mutex mutex;
    // executeOperation calls under way, nested ones included. The mutex is
    // held for each whole operation, so whoever holds it while this is not
    // zero runs on the operation's own thread (a progress callback, the
    // operation itself, a settings listener it set off).
    int running = 0;
    // The settings named another active sender while an operation ran: the
    // session takes it once the outermost operation has ended.
    bool senderChangePending = false;
    // A PIN handed over while that change waits is the new sender's card's:
    // it goes with the change, never to the running operation's card.
    std::optional<std::string> pendingPin;

    // Marks an operation under way for as long as it lives. Caller holds the
    // mutex throughout.
    class Running {
    public:
        explicit Running(Impl& impl) : impl_(impl) { ++impl_.running; }
        ~Running() {
            if (--impl_.running > 0 || !impl_.senderChangePending) return;
            impl_.senderChangePending = false;
            std::optional<std::string> pin = std::exchange(impl_.pendingPin, std::nullopt);
            try {
                impl_.takeActiveSender();
                if (pin) impl_.session->setPin(std::move(*pin));
            } catch (const std::exception& e) {
                Logger::error("TavoEngine: the sender change made during the operation failed: " +
                              common::utf8::escapeForLog(e.what()));
            } catch (...) {
                Logger::error("TavoEngine: the sender change made during the operation failed");
            }
        }
        Running(const Running&) = delete;
        Running& operator=(const Running&) = delete;

    private:
        Impl& impl_;
    };

    domain::SenderIdentity identityFromSettings() const {
        domain::SenderIdentity id;
        if (auto v = settings->identifier()) id.identifier = *v;
        if (auto v = settings->identifierTypeWire()) id.identifierType = domain::identifierTypeFromWireName(*v);
        if (auto v = settings->certificateId()) id.certificateId = *v;
        if (auto v = settings->apiKey()) id.apiKey = *v;
        return id;
    }

    // A configured sender's identity as the settings' fields give it (the
    // signer e-mail stays empty).
    static domain::SenderIdentity identityOf(const Sender& sender) {
        domain::SenderIdentity id;
        id.identifier = sender.identity.identifier;
        id.identifierType =
            domain::identifierTypeFromWireName(std::string(domain::toWireName(sender.identity.identifierType)));
        id.certificateId = sender.identity.certificateId;
        id.apiKey = sender.identity.apiKey;
        return id;
    }

    // The active sender's id and identity from one copy of that sender, so a
    // change on another thread between two reads cannot mix two senders.
    std::pair<std::string, domain::SenderIdentity> activeSender() const {
        std::string id = settings->activeSenderId().value_or("");
        if (!id.empty()) {
            if (auto sender = settings->findSender(id)) return {id, identityOf(*sender)};
        }
        return {id, identityFromSettings()};
    }

    // Caller holds the mutex.
    void giveSession(const std::string& senderId, domain::SenderIdentity identity) {
        session->logout();
        session->setIdentity(std::move(identity));
        sessionSenderId = senderId;
    }

    void onSettingsChanged() {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        if (running > 0) {
            // Changed from inside the operation: its filing finishes as the
            // sender it started with.
            senderChangePending = true;
            // A PIN given for an earlier change that still waits is not this
            // sender's; the caller's listener hands over the new one.
            pendingPin.reset();
            Logger::warn(
                "TavoEngine: the active sender changed while an operation ran on this thread; the session "
                "takes it when the operation ends");
            return;
        }
        takeActiveSender();
    }

    // Gives the session the settings' active sender. Caller holds the mutex.
    void takeActiveSender() {
        if (!session) return;
        auto [id, identity] = activeSender();
        // Already given to the session by an operation that named this
        // sender: logging out again would only throw its login away.
        if (id == sessionSenderId && identity == session->identity()) return;
        giveSession(id, std::move(identity));
    }

    // Makes the session hold the named sender before the operation runs,
    // whatever the settings' listeners have done so far. Caller holds the
    // mutex.
    void holdSender(const std::string& senderId) {
        if (senderId == sessionSenderId) return;
        if (auto sender = settings->findSender(senderId)) giveSession(senderId, identityOf(*sender));
    }
};

namespace {

// Compact UTF-8 text; invalid UTF-8 is replaced rather than losing a result
// the agency may already have accepted.
std::string compact(const json& value, const std::string& typeId) {
    try {
        return value.dump(-1, ' ', false, json::error_handler_t::strict);
    } catch (const json::type_error&) {
        Logger::warn("TavoEngine: payload of '" + common::utf8::escapeForLog(typeId) +
                     "' held invalid UTF-8; replaced");
        return common::safejson::dumpLenient(value);
    }
}

// The error as the caller gets it: valid UTF-8 without NUL bytes, whatever an
// operation, the parser or the caller's own ids put there.
void cleanError(ExecuteResult& result) {
    result.error = common::utf8::makeValid(result.error);
    for (std::size_t at = result.error.find('\0'); at != std::string::npos; at = result.error.find('\0', at))
        result.error.replace(at, 1, "\xEF\xBF\xBD");
}

// The caller's progress callback: what it throws is logged, never returned
// in place of the operation's outcome (a filing may already be accepted).
void notify(const TavoEngine::Progress& progress, int percent, const char* text) {
    if (!progress) return;
    try {
        progress(percent, text);
    } catch (const std::exception& e) {
        Logger::error("TavoEngine: progress callback threw: " + common::utf8::escapeForLog(e.what()));
    } catch (...) {
        Logger::error("TavoEngine: progress callback threw");
    }
}

// A submission's payload. Once the agency has the filing, a projection that
// fails still leaves the caller the standard fields with the document id.
std::string projectFiled(const ResultSpec& schema, const SubmissionResult& r, const std::string& typeId) {
    try {
        return compact(projectSubmission(schema, r), typeId);
    } catch (const std::exception& e) {
        Logger::error("TavoEngine: result of '" + typeId + "' could not be projected (" +
                      common::utf8::escapeForLog(e.what()) + "); the standard fields are returned");
        return common::safejson::dumpLenient(projectSubmission(ResultSpec{}, r));
    }
}

// The operation and its flattened parameters, or nothing with the engine's
// error text in result.
std::optional<ParameterValues> createWithParameters(const std::string& typeId, const std::string& paramsJson,
                                                    std::unique_ptr<ITavoOperation>& op, ExecuteResult& result) {
    op = OperationRegistry::instance().create(typeId);
    if (!op) {
        result.error = "Unknown operation: " + typeId;
        return std::nullopt;
    }
    std::string parseError;
    auto params = flattenParameters(paramsJson, &parseError);
    if (!params) result.error = "Invalid params JSON: " + parseError;
    return params;
}

}  // namespace

TavoEngine::TavoEngine(std::unique_ptr<ISettingsProvider> settings) : impl_(std::make_unique<Impl>()) {
    impl_->settings = std::move(settings);
}

TavoEngine::~TavoEngine() {
    impl_->session.reset();
    impl_->settings.reset();
}

void TavoEngine::setSigner(signing::ISigner* signer) {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    impl_->signer = signer;
    if (impl_->session) impl_->session->setSigner(signer);
}

void TavoEngine::setStampItBridge(stampit::StampItBridge* bridge) {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    impl_->bridge = bridge;
    if (impl_->session) impl_->session->setStampItBridge(bridge);
}

void TavoEngine::setPin(const std::string& pin) {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    // Only the running operation's own thread gets here while it runs (the
    // mutex is held for the whole operation): with a sender change waiting,
    // this PIN is for the card of the sender that comes next.
    if (impl_->running > 0 && impl_->senderChangePending) {
        impl_->pendingPin = pin;
        return;
    }
    if (impl_->session) impl_->session->setPin(pin);
}

ISettingsProvider& TavoEngine::settings() {
    return *impl_->settings;
}

void TavoEngine::initialize() {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    if (impl_->initialised) return;
    impl_->session = std::make_unique<domain::NapSession>();
    auto [senderId, identity] = impl_->activeSender();
    impl_->session->setIdentity(std::move(identity));
    impl_->sessionSenderId = senderId;
    if (impl_->signer) impl_->session->setSigner(impl_->signer);
    if (impl_->bridge) impl_->session->setStampItBridge(impl_->bridge);
    Impl* impl = impl_.get();
    if (!impl_->listener) impl_->listener = impl_->settings->onChanged([impl] { impl->onSettingsChanged(); });
    impl_->initialised = true;
    Logger::info("TavoEngine: initialised");
}

void TavoEngine::shutdown() {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    if (!impl_->initialised) return;
    if (impl_->running > 0) {
        // The running operation holds the session: freeing it would pull it
        // from under the filing.
        Logger::warn("TavoEngine: shutdown refused: an operation is running on this thread");
        return;
    }
    if (impl_->listener) {
        impl_->settings->removeListener(*impl_->listener);
        impl_->listener.reset();
    }
    if (impl_->session) impl_->session->logout();
    impl_->session.reset();
    impl_->sessionSenderId.clear();
    impl_->initialised = false;
    Logger::info("TavoEngine: shut down");
}

std::vector<OperationInfo> TavoEngine::listOperations() const {
    std::vector<OperationInfo> out;
    for (const auto& e : OperationRegistry::instance().listAll()) {
        out.push_back({e.typeId, e.displayName, e.category, e.kind == OperationKind::Submission, e.requiresEik});
    }
    return out;
}

std::optional<OperationInfo> TavoEngine::findOperation(const std::string& typeId) const {
    for (auto& info : listOperations()) {
        if (info.typeId == typeId) return info;
    }
    return std::nullopt;
}

ExecuteResult TavoEngine::executeOperation(const std::string& typeId, const std::string& paramsJson,
                                           const std::optional<std::string>& filePath, const Progress& progress,
                                           const std::string& senderId) {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    ExecuteResult result;
    runOperation(typeId, paramsJson, filePath, progress, senderId, result);
    cleanError(result);
    return result;
}

void TavoEngine::runOperation(const std::string& typeId, const std::string& paramsJson,
                              const std::optional<std::string>& filePath, const Progress& progress,
                              const std::string& senderId, ExecuteResult& result) {
    if (!impl_->initialised) {
        result.error = "TavoEngine not initialised";
        return;
    }
    // Called from inside another operation on this thread: that one's filing
    // must finish as the sender it started with.
    if (impl_->running > 0 && !senderId.empty() && senderId != impl_->sessionSenderId) {
        result.error = "Sender switch refused: an operation for another sender is running on this thread";
        return;
    }
    if (!senderId.empty()) {
        auto active = impl_->settings->activeSenderId();
        if (!active || *active != senderId) {
            if (!impl_->settings->findSender(senderId)) {
                result.error = "Unknown senderId: " + senderId;
                return;
            }
            impl_->settings->setActiveSenderId(senderId);
        }
        impl_->holdSender(senderId);
    }
    // From here the operation holds the session. The switch above came first:
    // the settings' listeners (the agent's hands the new card's PIN over)
    // must find the session already given to the new sender.
    Impl::Running running(*impl_);
    std::unique_ptr<ITavoOperation> op;
    auto params = createWithParameters(typeId, paramsJson, op, result);
    if (!params) return;
    notify(progress, 0, "starting");
    bool stoppedEarly = false;
    try {
        ResultSpec schema = op->resultSchema();
        byKind(
            *op,
            [&](ISubmission& submission) {
                if (submission.requiresFilePath() && !filePath) {
                    result.error = "Submission requires a file path";
                    stoppedEarly = true;
                    return;
                }
                SubmissionResult r = submission.submit(*impl_->session, filePath.value_or(""), *params);
                result.ok = r.success;
                result.error = r.errorMessage;
                result.payload = projectFiled(schema, r, typeId);
            },
            [&](IInquiry& inquiry) {
                InquiryResult r = inquiry.execute(*impl_->session, *params);
                result.ok = true;
                result.payload = compact(projectInquiry(schema, r), typeId);
            });
    } catch (const std::exception& e) {
        result.error = std::string("Operation threw: ") + e.what();
        Logger::error(common::utf8::escapeForLog(result.error));
    }
    if (!stoppedEarly) notify(progress, 100, result.ok ? "done" : "failed");
}

ExecuteResult TavoEngine::executeOperationTest(const std::string& typeId, const std::string& paramsJson) {
    ExecuteResult result;
    std::unique_ptr<ITavoOperation> op;
    auto params = createWithParameters(typeId, paramsJson, op, result);
    if (!params) {
        cleanError(result);
        return result;
    }
    try {
        ResultSpec schema = op->resultSchema();
        byKind(
            *op,
            [&](ISubmission& submission) {
                SubmissionResult r = submission.testFixture(*params);
                result.ok = r.success;
                result.payload = compact(projectSubmission(schema, r), typeId);
                result.error = r.errorMessage;
            },
            [&](IInquiry& inquiry) {
                InquiryResult r = inquiry.testFixture(*params);
                result.ok = true;
                result.payload = compact(projectInquiry(schema, r), typeId);
            });
    } catch (const std::exception& e) {
        result.error = std::string("testFixture threw: ") + e.what();
        Logger::error(common::utf8::escapeForLog(result.error));
    }
    cleanError(result);
    return result;
}

bool TavoEngine::login() {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    return impl_->initialised && impl_->session ? impl_->session->login() : false;
}

bool TavoEngine::isAuthenticated() {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    return impl_->initialised && impl_->session ? impl_->session->isAuthenticated() : false;
}

void TavoEngine::logout() {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    if (impl_->initialised && impl_->session) impl_->session->logout();
}

std::string TavoEngine::lastError() {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    return impl_->initialised && impl_->session ? impl_->session->lastError() : std::string();
}

}  // namespace tavo::core
