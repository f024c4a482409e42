// The module registry asks OpenSSL's engine list whether the pkcs11 engine
// shares a module; that list is deprecated API.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "infrastructure/signing/Cryptoki.h"

#include <dlfcn.h>
#include <openssl/engine.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "common/Logger.h"

namespace tavo::signing {
namespace {

// Largest signature a length query may announce: a 16384-bit modulus.
constexpr CK_ULONG kMaxSignatureLength = 2048;

// Users of one loaded module (keyed by its dlopen handle, which is the same
// for every path naming the same file) among this process's signers.
struct ModuleUse {
    int users = 0;
    bool ownInitialize = false;  // our C_Initialize answered CKR_OK
};

std::mutex& registryMutex() {
    static std::mutex m;
    return m;
}

std::map<void*, ModuleUse>& registry() {
    static std::map<void*, ModuleUse> r;
    return r;
}

// The libp11 "pkcs11" engine of the HTTP client loads the module named by
// PKCS11_MODULE_PATH and keeps its sessions for the life of the process; it
// may have started using the module after our C_Initialize.
bool engineSharesModule(void* handle) {
    const char* enginePath = std::getenv("PKCS11_MODULE_PATH");
    if (enginePath == nullptr || *enginePath == '\0') return false;
    void* same = ::dlopen(enginePath, RTLD_LAZY | RTLD_LOCAL | RTLD_NOLOAD);
    if (same == nullptr) return false;
    bool sameModule = same == handle;
    ::dlclose(same);
    if (!sameModule) return false;
    bool found = false;
    for (ENGINE* e = ENGINE_get_first(); e != nullptr; e = ENGINE_get_next(e)) {
        const char* id = ENGINE_get_id(e);
        if (id != nullptr && std::strcmp(id, "pkcs11") == 0) {
            ENGINE_free(e);
            found = true;
            break;
        }
    }
    return found;
}

}  // namespace

Cryptoki::~Cryptoki() {
    release();
}

CK_RV Cryptoki::note(const char* name, CK_RV rv) const {
    if (rv != CKR_OK) Logger::debug(std::string("SignerPkcs11: ") + name + " returned " + std::to_string(rv));
    return rv;
}

bool Cryptoki::load(const std::string& modulePath) {
    if (modulePath.empty()) {
        Logger::warn("SignerPkcs11: no module path configured");
        return false;
    }
    handle_ = ::dlopen(modulePath.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (handle_ == nullptr) {
        Logger::error("SignerPkcs11: failed to load " + modulePath);
        return false;
    }
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(handle_, "C_GetFunctionList"));
    if (getList == nullptr) {
        Logger::error("SignerPkcs11: C_GetFunctionList not found in module");
        return false;
    }
    CK_FUNCTION_LIST* list = nullptr;
    if (getList(&list) != CKR_OK || list == nullptr) {
        Logger::error("SignerPkcs11: C_GetFunctionList call failed");
        return false;
    }
    functions_ = list;
    {
        std::lock_guard<std::mutex> lock(registryMutex());
        CK_RV rv = functions_->C_Initialize(nullptr);
        if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
            Logger::error("SignerPkcs11: C_Initialize returned " + std::to_string(rv));
            return false;
        }
        ModuleUse& use = registry()[handle_];
        if (rv == CKR_OK) use.ownInitialize = true;
        ++use.users;
        registered_ = true;
    }
    initialized_ = true;
    Logger::info("SignerPkcs11: module initialised (" + modulePath + ")");
    return true;
}

void Cryptoki::release() {
    if (handle_ == nullptr) return;
    bool finalize = false;
    bool keepLoaded = false;
    if (registered_) {
        std::lock_guard<std::mutex> lock(registryMutex());
        auto it = registry().find(handle_);
        if (it != registry().end() && --it->second.users == 0) {
            if (it->second.ownInitialize) {
                // Finalising under another user would end its sessions and
                // break every later mutual-TLS handshake of the process; the
                // module then stays loaded and initialised for that user.
                if (engineSharesModule(handle_))
                    keepLoaded = true;
                else
                    finalize = true;
            }
            registry().erase(it);
        }
        if (finalize && functions_ != nullptr && functions_->C_Finalize != nullptr) functions_->C_Finalize(nullptr);
    }
    functions_ = nullptr;
    initialized_ = false;
    registered_ = false;
    if (!keepLoaded) ::dlclose(handle_);
    handle_ = nullptr;
}

std::optional<std::vector<CK_SLOT_ID>> Cryptoki::slotList() const {
    if (!ready()) return std::nullopt;
    CK_ULONG count = 0;
    if (note("C_GetSlotList", functions_->C_GetSlotList(CK_TRUE, nullptr, &count)) != CKR_OK || count == 0)
        return std::nullopt;
    std::vector<CK_SLOT_ID> slots(count);
    if (note("C_GetSlotList", functions_->C_GetSlotList(CK_TRUE, slots.data(), &count)) != CKR_OK) return std::nullopt;
    // A module may report fewer slots on the second call.
    if (count < slots.size()) slots.resize(count);
    return slots;
}

CK_RV Cryptoki::tokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO& info) const {
    if (!ready()) return CKR_CRYPTOKI_NOT_INITIALIZED;
    return note("C_GetTokenInfo", functions_->C_GetTokenInfo(slot, &info));
}

CK_RV Cryptoki::openSession(CK_SLOT_ID slot, CK_SESSION_HANDLE& session) const {
    if (!ready()) return CKR_CRYPTOKI_NOT_INITIALIZED;
    return note("C_OpenSession", functions_->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session));
}

CK_RV Cryptoki::closeSession(CK_SESSION_HANDLE session) const {
    if (!ready()) return CKR_CRYPTOKI_NOT_INITIALIZED;
    return note("C_CloseSession", functions_->C_CloseSession(session));
}

CK_RV Cryptoki::login(CK_SESSION_HANDLE session, const std::string& pin) const {
    if (!ready()) return CKR_CRYPTOKI_NOT_INITIALIZED;
    // The result is not noted here: a refused PIN is the caller's to report.
    std::vector<CK_UTF8CHAR> bytes(pin.begin(), pin.end());
    return functions_->C_Login(session, CKU_USER, bytes.data(), static_cast<CK_ULONG>(bytes.size()));
}

CK_RV Cryptoki::logout(CK_SESSION_HANDLE session) const {
    if (!ready()) return CKR_CRYPTOKI_NOT_INITIALIZED;
    return note("C_Logout", functions_->C_Logout(session));
}

CK_RV Cryptoki::sessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO& info) const {
    if (!ready()) return CKR_CRYPTOKI_NOT_INITIALIZED;
    return note("C_GetSessionInfo", functions_->C_GetSessionInfo(session, &info));
}

std::vector<CK_OBJECT_HANDLE> Cryptoki::findObjects(CK_SESSION_HANDLE session, CK_ATTRIBUTE* tmpl, CK_ULONG count,
                                                    CK_ULONG batchSize, size_t maxObjects) const {
    std::vector<CK_OBJECT_HANDLE> found;
    if (!ready() || batchSize == 0) return found;
    if (note("C_FindObjectsInit", functions_->C_FindObjectsInit(session, tmpl, count)) != CKR_OK) return found;
    while (found.size() < maxObjects) {
        std::vector<CK_OBJECT_HANDLE> batch(batchSize);
        CK_ULONG got = 0;
        if (note("C_FindObjects", functions_->C_FindObjects(session, batch.data(), batchSize, &got)) != CKR_OK) break;
        if (got > batchSize) got = batchSize;  // never trust a count beyond the buffer
        found.insert(found.end(), batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(got));
        if (got < batchSize) break;
    }
    note("C_FindObjectsFinal", functions_->C_FindObjectsFinal(session));
    return found;
}

std::optional<std::vector<std::vector<uint8_t>>> Cryptoki::attributes(
    CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, const std::vector<CK_ATTRIBUTE_TYPE>& types) const {
    if (!ready()) return std::nullopt;
    std::vector<CK_ATTRIBUTE> tmpl(types.size());
    for (size_t i = 0; i < types.size(); ++i) tmpl[i] = CK_ATTRIBUTE{types[i], nullptr, 0};
    auto n = static_cast<CK_ULONG>(tmpl.size());
    if (note("C_GetAttributeValue", functions_->C_GetAttributeValue(session, object, tmpl.data(), n)) != CKR_OK)
        return std::nullopt;
    std::vector<std::vector<uint8_t>> values(types.size());
    for (size_t i = 0; i < types.size(); ++i) {
        if (tmpl[i].ulValueLen == CK_UNAVAILABLE_INFORMATION) return std::nullopt;
        if (tmpl[i].ulValueLen > kMaxAttributeLength) {
            Logger::warn("SignerPkcs11: object skipped, the token announced an attribute of " +
                         std::to_string(tmpl[i].ulValueLen) + " bytes");
            return std::nullopt;
        }
        values[i].assign(tmpl[i].ulValueLen, 0);
        tmpl[i].pValue = values[i].empty() ? nullptr : values[i].data();
    }
    if (note("C_GetAttributeValue", functions_->C_GetAttributeValue(session, object, tmpl.data(), n)) != CKR_OK)
        return std::nullopt;
    for (size_t i = 0; i < types.size(); ++i) {
        if (tmpl[i].ulValueLen == CK_UNAVAILABLE_INFORMATION || tmpl[i].ulValueLen > values[i].size())
            return std::nullopt;
        values[i].resize(tmpl[i].ulValueLen);
    }
    return values;
}

std::vector<uint8_t> Cryptoki::signRsaPkcs(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key,
                                           const std::vector<uint8_t>& input) const {
    if (!ready()) return {};
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    if (note("C_SignInit", functions_->C_SignInit(session, &mechanism, key)) != CKR_OK) return {};
    std::vector<CK_BYTE> in(input.begin(), input.end());
    auto inLen = static_cast<CK_ULONG>(in.size());
    CK_ULONG length = 0;
    if (note("C_Sign", functions_->C_Sign(session, in.data(), inLen, nullptr, &length)) != CKR_OK) return {};
    if (length == 0 || length > kMaxSignatureLength) {
        Logger::warn("SignerPkcs11: C_Sign announced a signature of " + std::to_string(length) + " bytes");
        return {};
    }
    std::vector<uint8_t> out(length, 0);
    if (note("C_Sign", functions_->C_Sign(session, in.data(), inLen, out.data(), &length)) != CKR_OK) return {};
    if (length > out.size()) return {};
    out.resize(length);
    return out;
}

Session::Session(const Cryptoki& p11, CK_SLOT_ID slot) : p11_(&p11), slot_(slot) {
    CK_SESSION_HANDLE h = CK_INVALID_HANDLE;
    openRv_ = p11.openSession(slot, h);
    if (openRv_ == CKR_OK) handle_ = h;
}

Session::Session(Session&& other) noexcept
    : p11_(other.p11_), slot_(other.slot_), handle_(other.handle_), openRv_(other.openRv_) {
    other.handle_ = CK_INVALID_HANDLE;
}

Session::~Session() {
    if (handle_ != CK_INVALID_HANDLE) p11_->closeSession(handle_);
}

}  // namespace tavo::signing
