#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ISettingsProvider.h"
#include "Version.h"
#include "operations/OperationTypes.h"

namespace tavo::signing {
class ISigner;
}
namespace tavo::stampit {
class StampItBridge;
}

namespace tavo::core {

// The facade of the core library: owns the settings and the one portal
// session, runs one operation per call against it and answers with the
// operation's typed JSON. Calls that touch the session are serialised: other
// threads wait for a running operation to end.
//
// While an operation runs, calls from its own thread (its progress callback,
// the operation itself, a settings listener) never free, replace or switch
// its session: shutdown is refused with a WARN line (initialize does nothing,
// as the engine is initialised), an executeOperation naming another sender is
// refused with an error, and a change of the active sender in the settings
// reaches the session when the outermost operation has ended.
class TavoEngine {
public:
    using Progress = std::function<void(int percent, const std::string& text)>;

    explicit TavoEngine(std::unique_ptr<ISettingsProvider> settings);
    ~TavoEngine();
    TavoEngine(const TavoEngine&) = delete;
    TavoEngine& operator=(const TavoEngine&) = delete;

    void setSigner(signing::ISigner* signer);
    void setStampItBridge(stampit::StampItBridge* bridge);
    // The PIN of the card of the sender the session holds now. A switch to a
    // sender with another certificate drops it: the caller then hands over
    // that card's PIN (a settings listener of the caller runs after the
    // engine's). Given from inside a running operation while a sender change
    // waits, it goes with that change: the running operation keeps its own.
    // Lost when given before initialize.
    void setPin(const std::string& pin);
    ISettingsProvider& settings();

    void initialize();
    void shutdown();

    std::vector<OperationInfo> listOperations() const;
    std::optional<OperationInfo> findOperation(const std::string& typeId) const;

    ExecuteResult executeOperation(const std::string& typeId, const std::string& paramsJson,
                                   const std::optional<std::string>& filePath = std::nullopt,
                                   const Progress& progress = nullptr, const std::string& senderId = {});
    ExecuteResult executeOperationTest(const std::string& typeId, const std::string& paramsJson);

    bool login();
    bool isAuthenticated();
    void logout();
    std::string lastError();

private:
    void runOperation(const std::string& typeId, const std::string& paramsJson,
                      const std::optional<std::string>& filePath, const Progress& progress, const std::string& senderId,
                      ExecuteResult& result);

    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tavo::core
