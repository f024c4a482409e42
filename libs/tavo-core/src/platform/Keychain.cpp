#include "platform/Keychain.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "common/Base64.h"
#include "common/CPtr.h"
#include "common/Files.h"
#include "common/Hex.h"
#include "common/Logger.h"
#include "common/Paths.h"
#include "common/SafeJson.h"
#include "common/Utf8.h"
#include "platform/KeychainTesting.h"

namespace tavo::platform::keychain {
namespace {

namespace fs = std::filesystem;
namespace base64 = core::common::base64;
namespace safejson = core::common::safejson;
namespace files = core::common::files;
using core::common::CPtr;
using BioPtr = CPtr<BIO, BIO_free_all>;
using PkeyPtr = CPtr<EVP_PKEY, EVP_PKEY_free>;
using PkeyCtxPtr = CPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using X509Ptr = CPtr<X509, X509_free>;

constexpr char kPasswordClass[] = "genp";
constexpr char kIdentityClass[] = "idnt";
constexpr size_t kClassTagSize = 4;
constexpr size_t kRefRandomSize = 16;
constexpr char kItemSuffix[] = ".item";
// An item being written: "<item>.tmp" and six random characters, renamed
// over the item when whole (older versions used "<item>.tmp<pid>").
constexpr char kTempMarker[] = ".item.tmp";

struct ErrorQueueGuard {
    ~ErrorQueueGuard() { ERR_clear_error(); }
};

// --- injected failures ---

std::mutex& injectedMutex() {
    static std::mutex m;
    return m;
}
std::map<Operation, OSStatus>& injected() {
    static std::map<Operation, OSStatus> m;
    return m;
}
std::optional<OSStatus> injectedFailure(Operation op) {
    std::lock_guard<std::mutex> lock(injectedMutex());
    auto it = injected().find(op);
    if (it == injected().end()) return std::nullopt;
    return it->second;
}

// --- storage ---

struct Item {
    std::string fileName;
    std::string kind;
    std::vector<uint8_t> ref;
    int64_t seq = 0;
    // generic password
    std::string service, account, data;
    // identity
    std::vector<uint8_t> certificateDer;
    std::string keyPem;
    std::optional<std::string> tokenId;
};

std::string b64(const std::string& bytes) {
    return base64::encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}
std::string b64(const std::vector<uint8_t>& bytes) {
    return base64::encode(bytes.data(), bytes.size());
}
std::string unb64(const std::string& text) {
    auto bytes = base64::decode(text);
    return std::string(bytes.begin(), bytes.end());
}

std::string fileNameFor(const std::vector<uint8_t>& ref) {
    return core::common::hex::encode(ref, core::common::hex::Case::Lower) + kItemSuffix;
}

constexpr char kLockName[] = ".lock";
// Items are a few hundred bytes; anything far larger is damage, never read whole.
constexpr std::uint64_t kMaxItemBytes = std::uint64_t{64} * 1024;

// The lock file, opened without following a link or waiting on a FIFO. One
// that is not a trusted file of ours (planted before the folder was ours) is
// replaced. Reads need no write access: a reader on a read-only home opens
// the lock to read, or reads without it when there is none (nothing can
// write an item there either).
class LockFile {
public:
    LockFile(const std::string& dir, bool forWriting) : path_(dir + "/" + kLockName) {
        open(forWriting);
        if (fd_ || !untrusted_) return;
        if (files::removeFileDurably(path_)) open(forWriting);
    }
    bool ok() const { return static_cast<bool>(fd_) || lockless_; }
    int fd() const { return fd_.get(); }

private:
    void open(bool forWriting) {
        constexpr int kFlags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
        untrusted_ = false;
        fd_.reset(::open(path_.c_str(), O_RDWR | O_CREAT | kFlags, 0600));
        if (!fd_ && errno == ELOOP) untrusted_ = true;
        if (!fd_ && !forWriting && (errno == EROFS || errno == EACCES)) {
            fd_.reset(::open(path_.c_str(), O_RDONLY | kFlags));
            lockless_ = !fd_ && errno == ENOENT;
        }
        struct stat info {};
        if (fd_ && (::fstat(fd_.get(), &info) != 0 || !files::isTrustedFile(info))) {
            fd_.reset();
            untrusted_ = true;
        }
    }

    std::string path_;
    files::UniqueFd fd_;
    bool untrusted_ = false;
    bool lockless_ = false;
};

// Serialises all access: threads by the mutex, processes by the lock file.
class StoreLock {
public:
    StoreLock(const std::string& dir, bool forWriting) : guard_(mutex()), file_(dir, forWriting) {
        locked_ = file_.ok() && (file_.fd() < 0 || ::flock(file_.fd(), LOCK_EX) == 0);
    }
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;
    bool ok() const { return locked_; }

private:
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    std::lock_guard<std::mutex> guard_;
    LockFile file_;
    bool locked_ = false;
};

// The per-user data folder; empty when HOME is unset or empty (an empty
// HOME would put the store under the filesystem root).
std::string appDataBase() {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') return {};
    return Paths::localAppData();
}

// The folder, checked as ssh checks ~/.ssh (another account's folder or
// link, or a link leading to one, is refused; one others can reach is made
// the user's alone) and, for writers, created. kStatusItemNotFound: a reader
// found no folder.
OSStatus openDirectory(bool create, std::string& dir) {
    if (appDataBase().empty()) return kStatusFailed;
    dir = storageDirectory();
    files::DirOptions options;
    options.create = create;
    options.userOnly = true;
    files::DirResult checked = files::prepareUserDirectory(dir, Paths::localAppData(), options);
    if (checked.missing) return kStatusItemNotFound;
    if (!checked) {
        Logger::error("Keychain: storage folder refused: " + core::common::utf8::escapeForLog(checked.reason));
        return kStatusFailed;
    }
    return kStatusOk;
}

// Reads one item file. An item is a trusted regular file of ours of a
// sensible size: anything else under an item's name is skipped with a line
// in the log (nullopt, status ok); one that is there but cannot be read
// fails the whole call (status failed).
std::optional<std::string> readItemFile(const fs::path& path, OSStatus& status) {
    files::ReadOptions options;
    options.followLinks = false;
    options.requireOwnFile = true;
    options.maxBytes = kMaxItemBytes;
    files::ReadResult read = files::readRegularFile(path.string(), options);
    status = kStatusOk;
    switch (read.error) {
        case files::ReadError::None:
            return std::string(read.bytes.begin(), read.bytes.end());
        case files::ReadError::NotFound:
            return std::nullopt;  // removed since the folder was listed
        case files::ReadError::Unreadable:
            status = kStatusFailed;
            Logger::error("Keychain: cannot read item " + core::common::utf8::escapeForLog(path.filename().string()) +
                          ": " + read.reason);
            return std::nullopt;
        default:
            Logger::warn("Keychain: item " + core::common::utf8::escapeForLog(path.filename().string()) +
                         " skipped: " + read.reason);
            return std::nullopt;
    }
}

std::optional<Item> parseItem(const std::string& fileName, const std::string& text) {
    auto parsed = safejson::parse(text);
    if (!parsed.value) return std::nullopt;
    const auto& v = *parsed.value;
    Item item;
    item.fileName = fileName;
    auto kind = safejson::getString(v, "class");
    auto ref = safejson::getString(v, "ref");
    auto seq = safejson::getInt64(v, "seq");
    if (!kind || !ref || !seq) return std::nullopt;
    item.kind = *kind;
    auto refBytes = base64::decode(*ref);
    item.ref.assign(refBytes.begin(), refBytes.end());
    if (fileNameFor(item.ref) != fileName) return std::nullopt;
    item.seq = *seq;
    if (item.kind == kPasswordClass) {
        auto service = safejson::getString(v, "service");
        auto account = safejson::getString(v, "account");
        auto data = safejson::getString(v, "data");
        if (!service || !account || !data) return std::nullopt;
        item.service = unb64(*service);
        item.account = unb64(*account);
        item.data = unb64(*data);
    } else if (item.kind == kIdentityClass) {
        auto cert = safejson::getString(v, "certificate");
        auto key = safejson::getString(v, "key");
        if (!cert || !key) return std::nullopt;
        item.certificateDer = base64::decode(*cert);
        item.keyPem = *key;
        if (auto token = safejson::getString(v, "token")) item.tokenId = *token;
    } else {
        return std::nullopt;
    }
    return item;
}

bool isItemName(const std::string& name) {
    constexpr size_t kSuffix = sizeof(kItemSuffix) - 1;
    return name.size() > kSuffix && name.compare(name.size() - kSuffix, std::string::npos, kItemSuffix) == 0;
}

// Every item, oldest first. Files that are not ours are ignored; an item
// that cannot be read fails the whole call, never passes for no item.
// Called under the store lock, while no writer of any process is between
// writing a temporary file and renaming it: any temporary file found is
// left by a writer that died, holds a secret, and goes.
OSStatus readItems(const std::string& dir, std::vector<Item>& items) {
    items.clear();
    std::error_code ec;
    fs::directory_iterator it(dir, ec), end;
    if (ec) return kStatusFailed;
    bool swept = false;
    for (; it != end; it.increment(ec)) {
        if (ec) return kStatusFailed;
        std::string name = it->path().filename().string();
        if (name.find(kTempMarker) != std::string::npos) {
            swept = ::unlink(it->path().c_str()) == 0 || swept;
            continue;
        }
        if (!isItemName(name)) continue;
        OSStatus status = kStatusOk;
        auto text = readItemFile(it->path(), status);
        if (status != kStatusOk) return status;
        if (text) {
            if (auto item = parseItem(name, *text)) items.push_back(std::move(*item));
        }
    }
    if (ec) return kStatusFailed;
    if (swept) files::syncDirectory(dir);
    std::sort(items.begin(), items.end(),
              [](const Item& a, const Item& b) { return a.seq != b.seq ? a.seq < b.seq : a.fileName < b.fileName; });
    return kStatusOk;
}

std::optional<Item> readItem(const std::string& dir, const std::vector<uint8_t>& ref, OSStatus& status) {
    std::string name = fileNameFor(ref);
    auto text = readItemFile(fs::path(dir) / name, status);
    if (!text) return std::nullopt;
    return parseItem(name, *text);
}

// Written under a temporary name with mode 0600 and renamed, so a reader
// sees the old item or the new one, never half of it.
OSStatus writeItem(const std::string& dir, const Item& item) {
    safejson::json v = {{"class", item.kind}, {"ref", b64(item.ref)}, {"seq", item.seq}};
    if (item.kind == kPasswordClass) {
        v["service"] = b64(item.service);
        v["account"] = b64(item.account);
        v["data"] = b64(item.data);
    } else {
        v["certificate"] = b64(item.certificateDer);
        v["key"] = item.keyPem;
        if (item.tokenId) v["token"] = *item.tokenId;
    }
    std::string text = safejson::dumpLenient(v);
    // The temporary name ("<item>.tmp" and six characters) is the one
    // readItems sweeps when a writer died before the rename.
    const fs::path target = fs::path(dir) / item.fileName;
    return files::replaceFileAtomically(target.string(), text, 0600) ? kStatusOk : kStatusFailed;
}

// Synced with its folder: a removed PIN must not come back after a power loss.
OSStatus removeItem(const std::string& dir, const Item& item) {
    std::string path = (fs::path(dir) / item.fileName).string();
    return files::removeFileDurably(path) ? kStatusOk : kStatusFailed;
}

std::optional<std::vector<uint8_t>> newRef(const char* kind) {
    std::vector<uint8_t> ref(kind, kind + kClassTagSize);
    ref.resize(kClassTagSize + kRefRandomSize);
    if (RAND_bytes(ref.data() + kClassTagSize, static_cast<int>(kRefRandomSize)) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    return ref;
}

int64_t nextSeq(const std::vector<Item>& items) {
    int64_t now =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    int64_t last = 0;
    for (const Item& i : items) last = std::max(last, i.seq);
    return last < now ? now : (last == INT64_MAX ? last : last + 1);
}

const Item* findPassword(const std::vector<Item>& items, const std::string& service, const std::string& account) {
    for (const Item& i : items) {
        if (i.kind == kPasswordClass && i.service == service && i.account == account) return &i;
    }
    return nullptr;
}

Identity toIdentity(const Item& item) {
    return Identity{item.ref, item.certificateDer, item.tokenId};
}

enum class Access { Read, Write, Create };

// Runs fn(dir, items) under the store lock. Unless creating, a missing
// folder means "no items" (fn gets an empty dir). No exception leaves.
template <class Fn>
OSStatus withItems(Access access, Fn&& fn) {
    try {
        std::string dir;
        OSStatus opened = openDirectory(access == Access::Create, dir);
        if (opened == kStatusItemNotFound) {
            std::vector<Item> none;
            return fn(std::string(), none);
        }
        if (opened != kStatusOk) return opened;
        StoreLock lock(dir, access != Access::Read);
        if (!lock.ok()) return kStatusFailed;
        std::vector<Item> items;
        OSStatus status = readItems(dir, items);
        if (status != kStatusOk) return status;
        return fn(dir, items);
    } catch (const std::exception& e) {
        Logger::error(std::string("Keychain: ") + e.what());
        return kStatusFailed;
    }
}

}  // namespace

struct PrivateKey::Impl {
    PkeyPtr key;
};

PrivateKey::PrivateKey() = default;
PrivateKey::~PrivateKey() = default;
PrivateKey::PrivateKey(PrivateKey&&) noexcept = default;
PrivateKey& PrivateKey::operator=(PrivateKey&&) noexcept = default;
PrivateKey::operator bool() const {
    return impl_ && impl_->key;
}

std::string storageDirectory() {
    std::string base = appDataBase();
    if (base.empty()) return {};
    return (fs::path(base) / "TAVOAgent" / "Keychain").string();
}

OSStatus addGenericPassword(const std::string& service, const std::string& account, const std::string& data) {
    if (auto s = injectedFailure(Operation::Add)) return *s;
    return withItems(Access::Create, [&](const std::string& dir, std::vector<Item>& items) -> OSStatus {
        if (findPassword(items, service, account)) return kStatusDuplicateItem;
        auto ref = newRef(kPasswordClass);
        if (!ref) return kStatusFailed;
        Item item;
        item.kind = kPasswordClass;
        item.ref = *ref;
        item.fileName = fileNameFor(item.ref);
        item.seq = nextSeq(items);
        item.service = service;
        item.account = account;
        item.data = data;
        return writeItem(dir, item);
    });
}

OSStatus updateGenericPassword(const std::string& service, const std::string& account, const std::string& data) {
    if (auto s = injectedFailure(Operation::Update)) return *s;
    return withItems(Access::Write, [&](const std::string& dir, std::vector<Item>& items) -> OSStatus {
        const Item* found = findPassword(items, service, account);
        if (!found) return kStatusItemNotFound;
        Item item = *found;
        item.data = data;
        return writeItem(dir, item);
    });
}

OSStatus deleteGenericPassword(const std::string& service, const std::string& account) {
    if (auto s = injectedFailure(Operation::Delete)) return *s;
    return withItems(Access::Write, [&](const std::string& dir, std::vector<Item>& items) -> OSStatus {
        const Item* found = findPassword(items, service, account);
        if (!found) return kStatusItemNotFound;
        return removeItem(dir, *found);
    });
}

OSStatus copyGenericPassword(const std::string& service, const std::string& account, std::string& data,
                             std::vector<uint8_t>* persistentRef) {
    if (auto s = injectedFailure(Operation::CopyMatching)) return *s;
    return withItems(Access::Read, [&](const std::string&, std::vector<Item>& items) -> OSStatus {
        const Item* found = findPassword(items, service, account);
        if (!found) return kStatusItemNotFound;
        data = found->data;
        if (persistentRef) *persistentRef = found->ref;
        return kStatusOk;
    });
}

OSStatus copyGenericPasswordAccounts(const std::string& service, std::vector<std::string>& accounts) {
    if (auto s = injectedFailure(Operation::CopyMatching)) return *s;
    return withItems(Access::Read, [&](const std::string&, std::vector<Item>& items) -> OSStatus {
        accounts.clear();
        for (const Item& i : items) {
            if (i.kind == kPasswordClass && i.service == service) accounts.push_back(i.account);
        }
        return accounts.empty() ? kStatusItemNotFound : kStatusOk;
    });
}

OSStatus importIdentity(const std::string& privateKeyPem, const std::vector<uint8_t>& certificateDer,
                        const std::optional<std::string>& tokenId, std::vector<uint8_t>* persistentRef) {
    if (auto s = injectedFailure(Operation::Add)) return *s;
    ErrorQueueGuard errors;
    if (privateKeyPem.size() > static_cast<size_t>(INT_MAX) || certificateDer.size() > static_cast<size_t>(LONG_MAX))
        return kStatusParam;
    BioPtr bio(BIO_new_mem_buf(privateKeyPem.data(), static_cast<int>(privateKeyPem.size())));
    if (!bio) return kStatusFailed;
    PkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    const unsigned char* p = certificateDer.data();
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(certificateDer.size())));
    if (!key || !cert || X509_check_private_key(cert.get(), key.get()) != 1) return kStatusParam;
    BioPtr out(BIO_new(BIO_s_mem()));
    if (!out || PEM_write_bio_PrivateKey(out.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return kStatusFailed;
    char* pemData = nullptr;
    long pemLength = BIO_get_mem_data(out.get(), &pemData);
    std::string keyPem(pemData, pemLength > 0 ? static_cast<size_t>(pemLength) : 0);

    return withItems(Access::Create, [&](const std::string& dir, std::vector<Item>& items) -> OSStatus {
        for (const Item& i : items) {
            if (i.kind == kIdentityClass && i.certificateDer == certificateDer) return kStatusDuplicateItem;
        }
        auto ref = newRef(kIdentityClass);
        if (!ref) return kStatusFailed;
        Item item;
        item.kind = kIdentityClass;
        item.ref = *ref;
        item.fileName = fileNameFor(item.ref);
        item.seq = nextSeq(items);
        item.certificateDer = certificateDer;
        item.keyPem = keyPem;
        item.tokenId = tokenId;
        OSStatus status = writeItem(dir, item);
        if (status == kStatusOk && persistentRef) *persistentRef = item.ref;
        return status;
    });
}

OSStatus copyIdentities(std::vector<Identity>& identities) {
    if (auto s = injectedFailure(Operation::CopyMatching)) return *s;
    return withItems(Access::Read, [&](const std::string&, std::vector<Item>& items) -> OSStatus {
        identities.clear();
        for (const Item& i : items) {
            if (i.kind == kIdentityClass) identities.push_back(toIdentity(i));
        }
        return identities.empty() ? kStatusItemNotFound : kStatusOk;
    });
}

namespace {
// Only a reference of the identity kind, naming an identity file, is one.
bool isIdentityRef(const std::vector<uint8_t>& ref) {
    return ref.size() == kClassTagSize + kRefRandomSize &&
           std::equal(ref.begin(), ref.begin() + kClassTagSize, kIdentityClass);
}
std::optional<Item> findIdentityItem(const std::vector<uint8_t>& ref, OSStatus& status) {
    std::optional<Item> found;
    status = withItems(Access::Read, [&](const std::string& dir, std::vector<Item>&) -> OSStatus {
        if (dir.empty() || !isIdentityRef(ref)) return kStatusItemNotFound;
        OSStatus read = kStatusOk;
        found = readItem(dir, ref, read);
        if (read != kStatusOk) return read;
        if (!found || found->kind != kIdentityClass) {
            found.reset();
            return kStatusItemNotFound;
        }
        return kStatusOk;
    });
    return found;
}
}  // namespace

OSStatus copyIdentity(const std::vector<uint8_t>& persistentRef, Identity& identity) {
    if (auto s = injectedFailure(Operation::CopyMatching)) return *s;
    OSStatus status = kStatusOk;
    auto item = findIdentityItem(persistentRef, status);
    if (status != kStatusOk) return status;
    identity = toIdentity(*item);
    return kStatusOk;
}

OSStatus copyPrivateKey(const Identity& identity, PrivateKey& key) {
    if (auto s = injectedFailure(Operation::CopyPrivateKey)) return *s;
    ErrorQueueGuard errors;
    OSStatus status = kStatusOk;
    auto item = findIdentityItem(identity.persistentRef, status);
    if (status != kStatusOk) return status;
    if (item->keyPem.size() > static_cast<size_t>(INT_MAX)) return kStatusFailed;
    BioPtr bio(BIO_new_mem_buf(item->keyPem.data(), static_cast<int>(item->keyPem.size())));
    if (!bio) return kStatusFailed;
    PkeyPtr pkey(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!pkey) return kStatusFailed;
    key.impl_ = std::make_unique<PrivateKey::Impl>();
    key.impl_->key = std::move(pkey);
    return kStatusOk;
}

std::optional<std::vector<uint8_t>> createRawPkcs1Signature(const PrivateKey& key, const std::vector<uint8_t>& input,
                                                            Error& error) {
    ErrorQueueGuard errors;
    if (auto s = injectedFailure(Operation::CreateSignature)) {
        error.code = *s;
        error.description =
            *s == kStatusUserCanceled ? "The user cancelled the operation." : "The operation could not be completed.";
        return std::nullopt;
    }
    if (!key) {
        error = {kStatusParam, "No private key."};
        return std::nullopt;
    }
    EVP_PKEY* pkey = key.impl_->key.get();
    if (EVP_PKEY_get_base_id(pkey) != EVP_PKEY_RSA) {
        error = {kStatusParam, "The key is not an RSA key."};
        return std::nullopt;
    }
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new(pkey, nullptr));
    size_t length = 0;
    // No digest is set: the input is padded as it is.
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_sign(ctx.get(), nullptr, &length, input.data(), input.size()) != 1) {
        error = {kStatusParam, "The key cannot sign with PKCS#1 v1.5 padding."};
        return std::nullopt;
    }
    std::vector<uint8_t> signature(length);
    if (EVP_PKEY_sign(ctx.get(), signature.data(), &length, input.data(), input.size()) != 1) {
        error = {kStatusParam, "The input is too long for the key."};
        return std::nullopt;
    }
    signature.resize(length);
    return signature;
}

void injectFailure(Operation operation, OSStatus status) {
    std::lock_guard<std::mutex> lock(injectedMutex());
    injected()[operation] = status;
}

void clearInjectedFailures() {
    std::lock_guard<std::mutex> lock(injectedMutex());
    injected().clear();
}

}  // namespace tavo::platform::keychain
