#pragma once

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavo::signing {

// Answer of C_Login that some middleware gives when the user cancels its PIN
// dialog; the standard's header has no name for it.
inline constexpr CK_RV kCkrLoginCancelled = 0x103;

// The one door to a PKCS#11 module: loading, initialisation, and every
// Cryptoki call of the signer. Calls answer the module's CK_RV unchanged.
class Cryptoki {
public:
    Cryptoki() = default;
    ~Cryptoki();
    Cryptoki(const Cryptoki&) = delete;
    Cryptoki& operator=(const Cryptoki&) = delete;

    // dlopen, C_GetFunctionList and C_Initialize, with the log lines of the
    // signer; false leaves an inert object.
    bool load(const std::string& modulePath);
    bool ready() const { return functions_ != nullptr && initialized_; }

    std::optional<std::vector<CK_SLOT_ID>> slotList() const;
    CK_RV tokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO& info) const;
    CK_RV openSession(CK_SLOT_ID slot, CK_SESSION_HANDLE& session) const;
    CK_RV closeSession(CK_SESSION_HANDLE session) const;
    CK_RV login(CK_SESSION_HANDLE session, const std::string& pin) const;
    CK_RV logout(CK_SESSION_HANDLE session) const;
    CK_RV sessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO& info) const;

    // Every object matching the template, fetched in batches of batchSize;
    // at most maxObjects. Empty on failure.
    std::vector<CK_OBJECT_HANDLE> findObjects(CK_SESSION_HANDLE session, CK_ATTRIBUTE* tmpl, CK_ULONG count,
                                              CK_ULONG batchSize, size_t maxObjects) const;
    // Attribute values of one object: lengths first, then zeroed buffers of
    // those lengths. No value when either call fails, or when a length
    // beyond kMaxAttributeLength is announced (logged: nothing that large is
    // allocated).
    std::optional<std::vector<std::vector<uint8_t>>> attributes(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                                                const std::vector<CK_ATTRIBUTE_TYPE>& types) const;

    // Largest attribute value read: far above any certificate a card holds.
    static constexpr CK_ULONG kMaxAttributeLength = CK_ULONG{1024} * 1024;
    // CKM_RSA_PKCS over input with the key; empty on failure.
    std::vector<uint8_t> signRsaPkcs(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key,
                                     const std::vector<uint8_t>& input) const;

private:
    CK_RV note(const char* name, CK_RV rv) const;
    void release();

    void* handle_ = nullptr;
    CK_FUNCTION_LIST* functions_ = nullptr;
    bool initialized_ = false;
    bool registered_ = false;
};

// A session that closes itself. Object handles found in it are used only
// while it is open: a token may drop them with its last session.
class Session {
public:
    Session(const Cryptoki& p11, CK_SLOT_ID slot);
    ~Session();
    Session(Session&& other) noexcept;
    Session& operator=(Session&&) = delete;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool ok() const { return handle_ != CK_INVALID_HANDLE; }
    CK_RV openResult() const { return openRv_; }
    CK_SESSION_HANDLE handle() const { return handle_; }
    CK_SLOT_ID slot() const { return slot_; }

private:
    const Cryptoki* p11_;
    CK_SLOT_ID slot_;
    CK_SESSION_HANDLE handle_ = CK_INVALID_HANDLE;
    CK_RV openRv_ = CKR_OK;
};

}  // namespace tavo::signing
