#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The small Keychain of our own that the signer and the PIN store use where
// the platform has none: generic passwords by service and account, and
// identities (certificate with its private key, optionally on a token).
// Items are files under the per-user data folder, readable by the user only.
// Results are status codes in the platform's style.
namespace tavo::platform::keychain {

using OSStatus = int32_t;

inline constexpr OSStatus kStatusOk = 0;
inline constexpr OSStatus kStatusUserCanceled = -128;
inline constexpr OSStatus kStatusParam = -50;
inline constexpr OSStatus kStatusDuplicateItem = -25299;
inline constexpr OSStatus kStatusItemNotFound = -25300;
inline constexpr OSStatus kStatusFailed = -26276;  // storage unreadable or unwritable

// --- Generic passwords ------------------------------------------------------

OSStatus addGenericPassword(const std::string& service, const std::string& account, const std::string& data);
// Replaces the data of an existing item in one step; kStatusItemNotFound when there is none.
OSStatus updateGenericPassword(const std::string& service, const std::string& account, const std::string& data);
OSStatus deleteGenericPassword(const std::string& service, const std::string& account);
OSStatus copyGenericPassword(const std::string& service, const std::string& account, std::string& data,
                             std::vector<uint8_t>* persistentRef = nullptr);
// Accounts of every item of the service, oldest first; kStatusItemNotFound when there is none.
OSStatus copyGenericPasswordAccounts(const std::string& service, std::vector<std::string>& accounts);

// --- Identities -------------------------------------------------------------

struct Identity {
    std::vector<uint8_t> persistentRef;  // opaque; finds the item again
    std::vector<uint8_t> certificateDer;
    std::optional<std::string> tokenId;  // set when the key lives on a token
};

// Stores a certificate with its private key (PEM); the key must belong to the certificate.
OSStatus importIdentity(const std::string& privateKeyPem, const std::vector<uint8_t>& certificateDer,
                        const std::optional<std::string>& tokenId, std::vector<uint8_t>* persistentRef = nullptr);
// Every identity, oldest first; kStatusItemNotFound when there is none.
OSStatus copyIdentities(std::vector<Identity>& identities);
// The identity with this persistent reference. A reference of any other kind
// of item (a stored password) is not found.
OSStatus copyIdentity(const std::vector<uint8_t>& persistentRef, Identity& identity);

struct Error {
    OSStatus code = kStatusOk;
    std::string description;
};

class PrivateKey;

OSStatus copyPrivateKey(const Identity& identity, PrivateKey& key);
// RSA PKCS#1 v1.5 type-1 padding of input as it is (no digest, no DigestInfo
// added) and the private-key operation; on failure nothing and error filled
// (kStatusUserCanceled when the user cancelled).
std::optional<std::vector<uint8_t>> createRawPkcs1Signature(const PrivateKey& key, const std::vector<uint8_t>& input,
                                                            Error& error);

// The private key of an identity; it never leaves the layer.
class PrivateKey {
public:
    PrivateKey();
    ~PrivateKey();
    PrivateKey(PrivateKey&&) noexcept;
    PrivateKey& operator=(PrivateKey&&) noexcept;
    explicit operator bool() const;

private:
    friend OSStatus copyPrivateKey(const Identity&, PrivateKey&);
    friend std::optional<std::vector<uint8_t>> createRawPkcs1Signature(const PrivateKey&, const std::vector<uint8_t>&,
                                                                       Error&);
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tavo::platform::keychain
