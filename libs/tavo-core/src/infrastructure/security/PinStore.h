#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tavo::security {

// Smart-card PINs kept in the Keychain, one item per certificate id, so that
// the agent can sign without asking again. PINs are never logged.
class PinStore {
public:
    static bool store(const std::string& certificateId, const std::string& pin);
    // True also when there was nothing to remove.
    static bool remove(const std::string& certificateId);
    static std::optional<std::string> load(const std::string& certificateId);
    static std::vector<std::string> listStoredIds();
    static bool clearAll();
};

}  // namespace tavo::security
