#pragma once

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
    virtual ~ISettingsProvider() = default;

    virtual std::optional<std::string> activeSenderId() const = 0;
    virtual std::optional<Sender> findSender(const std::string& id) const = 0;
    virtual void setActiveSenderId(const std::string& id) = 0;
    virtual std::optional<std::string> identifier() const = 0;
    virtual std::optional<std::string> identifierTypeWire() const = 0;
    virtual std::optional<std::string> certificateId() const = 0;
    virtual std::optional<std::string> apiKey() const = 0;
    virtual void onChanged(std::function<void()> listener) = 0;
};

}  // namespace tavo::core
