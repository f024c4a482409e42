#include "InMemorySettingsProvider.h"

#include "domain/NapIdentifiers.h"

namespace tavo::core {

InMemorySettingsProvider::InMemorySettingsProvider(std::vector<Sender> senders, std::string activeId)
    : senders_(std::move(senders)), activeId_(std::move(activeId)) {}

const Sender* InMemorySettingsProvider::activeLocked() const {
    if (activeId_.empty()) return nullptr;
    for (const Sender& s : senders_) {
        if (s.id == activeId_) return &s;
    }
    return nullptr;
}

std::optional<std::string> InMemorySettingsProvider::activeSenderId() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (activeId_.empty()) return std::nullopt;
    return activeId_;
}

std::optional<Sender> InMemorySettingsProvider::findSender(const std::string& id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (id.empty()) return std::nullopt;
    for (const Sender& s : senders_) {
        if (s.id == id) return s;
    }
    return std::nullopt;
}

void InMemorySettingsProvider::setActiveSenderId(const std::string& id) {
    std::vector<std::pair<ListenerId, std::function<void()>>> listeners;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (id == activeId_) return;
        if (!id.empty()) {
            bool known = false;
            for (const Sender& s : senders_) known = known || s.id == id;
            if (!known) return;
        }
        activeId_ = id;
        listeners = listeners_;
    }
    // Outside the lock: a listener may read the settings again. One removed
    // meanwhile is skipped.
    for (const auto& [listenerId, listener] : listeners) {
        if (isRegistered(listenerId)) listener();
    }
}

bool InMemorySettingsProvider::isRegistered(ListenerId id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : listeners_) {
        if (entry.first == id) return true;
    }
    return false;
}

std::optional<std::string> InMemorySettingsProvider::activeField(std::string domain::SenderIdentity::*member) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Sender* s = activeLocked();
    if (!s || (s->identity.*member).empty()) return std::nullopt;
    return s->identity.*member;
}

std::optional<std::string> InMemorySettingsProvider::identifier() const {
    return activeField(&domain::SenderIdentity::identifier);
}

std::optional<std::string> InMemorySettingsProvider::identifierTypeWire() const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Sender* s = activeLocked();
    if (!s) return std::nullopt;
    return std::string(domain::toWireName(s->identity.identifierType));
}

std::optional<std::string> InMemorySettingsProvider::certificateId() const {
    return activeField(&domain::SenderIdentity::certificateId);
}

std::optional<std::string> InMemorySettingsProvider::apiKey() const {
    return activeField(&domain::SenderIdentity::apiKey);
}

ISettingsProvider::ListenerId InMemorySettingsProvider::onChanged(std::function<void()> listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    const ListenerId id = nextListenerId_++;
    listeners_.emplace_back(id, std::move(listener));
    return id;
}

void InMemorySettingsProvider::removeListener(ListenerId id) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase_if(listeners_, [id](const auto& entry) { return entry.first == id; });
}

}  // namespace tavo::core
