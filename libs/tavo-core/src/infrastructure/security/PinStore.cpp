#include "infrastructure/security/PinStore.h"

#include <exception>

#include "common/Logger.h"
#include "common/Utf8.h"
#include "platform/Keychain.h"

namespace tavo::security {
namespace {

namespace keychain = platform::keychain;

constexpr char kService[] = "TavoAgentC.pin";
// Account names are read into a buffer of this size, NUL included.
constexpr size_t kAccountBufferSize = 512;

// No exception leaves the store (an allocation can fail anywhere): it is
// logged and the call fails.
template <class Fn, class Result>
Result guarded(const char* what, Result failed, Fn&& fn) {
    try {
        return fn();
    } catch (const std::exception& e) {
        Logger::error(std::string("PinStore::") + what + ": " + e.what());
    } catch (...) {
        Logger::error(std::string("PinStore::") + what + ": unknown exception");
    }
    return failed;
}

bool storeUnguarded(const std::string& certificateId, const std::string& pin) {
    // Updated in place: a failed write never loses the PIN stored before.
    keychain::OSStatus status = keychain::updateGenericPassword(kService, certificateId, pin);
    if (status == keychain::kStatusItemNotFound) {
        status = keychain::addGenericPassword(kService, certificateId, pin);
        // Another writer added it meanwhile: ours is the newer PIN.
        if (status == keychain::kStatusDuplicateItem) {
            status = keychain::updateGenericPassword(kService, certificateId, pin);
            if (status != keychain::kStatusOk) {
                Logger::error("SecItemUpdate failed: " + std::to_string(status));
                return false;
            }
        }
        if (status != keychain::kStatusOk) {
            Logger::error("SecItemAdd failed: " + std::to_string(status));
            return false;
        }
        return true;
    }
    if (status != keychain::kStatusOk) {
        Logger::error("SecItemUpdate failed: " + std::to_string(status));
        return false;
    }
    return true;
}

std::vector<std::string> listUnguarded() {
    std::vector<std::string> accounts;
    if (keychain::copyGenericPasswordAccounts(kService, accounts) != keychain::kStatusOk) return {};
    std::vector<std::string> ids;
    for (std::string& account : accounts) {
        // Names that would not convert into the buffer are skipped.
        if (account.size() >= kAccountBufferSize || !core::common::utf8::isValid(account) ||
            account.find('\0') != std::string::npos)
            continue;
        ids.push_back(std::move(account));
    }
    return ids;
}

bool clearUnguarded() {
    // Every account of the service, also those listStoredIds leaves out: a
    // PIN nobody can list is still a PIN on disk.
    std::vector<std::string> accounts;
    keychain::OSStatus status = keychain::copyGenericPasswordAccounts(kService, accounts);
    if (status == keychain::kStatusItemNotFound) return true;
    if (status != keychain::kStatusOk) return false;
    for (const std::string& account : accounts) keychain::deleteGenericPassword(kService, account);
    accounts.clear();
    // Whatever a failed delete left behind makes the answer false.
    return keychain::copyGenericPasswordAccounts(kService, accounts) == keychain::kStatusItemNotFound;
}

}  // namespace

bool PinStore::store(const std::string& certificateId, const std::string& pin) {
    return guarded("store", false, [&] { return storeUnguarded(certificateId, pin); });
}

bool PinStore::remove(const std::string& certificateId) {
    return guarded("remove", false, [&] {
        keychain::OSStatus status = keychain::deleteGenericPassword(kService, certificateId);
        return status == keychain::kStatusOk || status == keychain::kStatusItemNotFound;
    });
}

// A PIN that is there but cannot be read is no PIN for the caller either;
// the log tells it apart from one never stored.
std::optional<std::string> PinStore::load(const std::string& certificateId) {
    return guarded("load", std::optional<std::string>(), [&]() -> std::optional<std::string> {
        std::string pin;
        keychain::OSStatus status = keychain::copyGenericPassword(kService, certificateId, pin);
        if (status == keychain::kStatusOk) return pin;
        if (status != keychain::kStatusItemNotFound)
            Logger::warn("SecItemCopyMatching failed: " + std::to_string(status));
        return std::nullopt;
    });
}

std::vector<std::string> PinStore::listStoredIds() {
    return guarded("listStoredIds", std::vector<std::string>(), listUnguarded);
}

bool PinStore::clearAll() {
    return guarded("clearAll", false, clearUnguarded);
}

}  // namespace tavo::security
