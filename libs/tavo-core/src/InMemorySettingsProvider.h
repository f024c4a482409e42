#pragma once

#include <mutex>
#include <utility>
#include <vector>

#include "ISettingsProvider.h"

namespace tavo::core {

// Settings held in memory, with the contract of the application's settings
// file (one lock, listeners outside it, in order, no notification for an
// unchanged or unknown id) but nothing written to disk.
class InMemorySettingsProvider : public ISettingsProvider {
public:
    explicit InMemorySettingsProvider(std::vector<Sender> senders = {}, std::string activeId = {});

    std::optional<std::string> activeSenderId() const override;
    std::optional<Sender> findSender(const std::string& id) const override;
    void setActiveSenderId(const std::string& id) override;
    std::optional<std::string> identifier() const override;
    std::optional<std::string> identifierTypeWire() const override;
    std::optional<std::string> certificateId() const override;
    std::optional<std::string> apiKey() const override;
    ListenerId onChanged(std::function<void()> listener) override;
    void removeListener(ListenerId id) override;

private:
    const Sender* activeLocked() const;
    bool isRegistered(ListenerId id) const;
    std::optional<std::string> activeField(std::string domain::SenderIdentity::*member) const;

    mutable std::mutex mutex_;
    std::vector<Sender> senders_;
    std::string activeId_;
    std::vector<std::pair<ListenerId, std::function<void()>>> listeners_;
    ListenerId nextListenerId_ = 1;
};

}  // namespace tavo::core
