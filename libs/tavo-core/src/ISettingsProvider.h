#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "domain/SenderIdentity.h"

namespace tavo::core {

// A configured sender: id ("s-" and 12 lower-case hex digits), display name
// and the identity it files with.
struct Sender {
    std::string id;
    std::string displayName;
    domain::SenderIdentity identity;
};

// What the engine uses of the application's settings. Every operation runs
// under the settings' own lock; change listeners run outside it, on the
// thread that made the change, before the change returns.
class ISettingsProvider {
public:
    // Names a registered change listener, for removeListener.
    using ListenerId = std::uint64_t;

    virtual ~ISettingsProvider() = default;

    virtual std::optional<std::string> activeSenderId() const = 0;
    virtual std::optional<Sender> findSender(const std::string& id) const = 0;
    virtual void setActiveSenderId(const std::string& id) = 0;
    virtual std::optional<std::string> identifier() const = 0;
    virtual std::optional<std::string> identifierTypeWire() const = 0;
    virtual std::optional<std::string> certificateId() const = 0;
    virtual std::optional<std::string> apiKey() const = 0;
    // Appends a change listener; the id it returns removes it again.
    virtual ListenerId onChanged(std::function<void()> listener) = 0;
    // Removes that listener (an unknown id changes nothing): later changes
    // no longer run it. A notification already running on another thread may
    // still reach it once, so it must stay callable until then.
    virtual void removeListener(ListenerId id) = 0;
};

}  // namespace tavo::core
