// The ENGINE interface is deprecated in OpenSSL 3, yet libcurl and libp11
// still reach smart-card keys only through it.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "infrastructure/http/Pkcs11Engine.h"
#include "infrastructure/http/Pkcs11EngineTesting.h"

#include <openssl/crypto.h>
#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <p11-kit/pkcs11.h>

#include <dlfcn.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>
#include <vector>

#include "common/Ascii.h"
#include "common/Logger.h"

namespace tavo::core::infra::http {
namespace {

namespace fs = std::filesystem;

struct EngineDeleter {
    void operator()(ENGINE* e) const noexcept {
        if (e) ENGINE_free(e);
    }
};
using EnginePtr = std::unique_ptr<ENGINE, EngineDeleter>;

struct EngineState {
    std::mutex mutex;
    bool loaded = false;
    // Transfers running under the PIN the engine holds (by digest; the
    // digest of the empty text while it holds none).
    std::condition_variable released;
    int users = 0;
    std::string pinDigest;
    bool holdsPin = false;
    // Every instance started; each keeps the functional reference its
    // ENGINE_init took for the life of the process.
    std::vector<ENGINE*> started;
    // The library was bound once. OpenSSL's "dynamic" loader refuses to bind
    // it again while that instance lives (keys made while it was a default
    // engine hold it), so a load after the test rig's reset binds the next
    // instance directly.
    bool bound = false;
};

std::string digestOf(const std::string& pin) {
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(pin.data(), pin.size(), d, &length, EVP_sha256(), nullptr) != 1) return {};
    return std::string(reinterpret_cast<const char*>(d), length);
}

EngineState& state() {
    static EngineState s;
    return s;
}

bool isFile(const fs::path& p) {
    std::error_code ec;
    return fs::is_regular_file(p, ec);
}

std::string firstInFolder(const fs::path& folder) {
    for (const char* name : {"pkcs11.dylib", "pkcs11.so"})
        if (isFile(folder / name)) return (folder / name).string();
    return {};
}

// A new instance of the engine from its library, bound directly: OpenSSL's
// "dynamic" loader refuses to bind a library a second time while the first
// instance lives. The library stays loaded for good, as under the loader.
EnginePtr newInstance(const std::string& path) {
    if (path.empty()) return nullptr;
    void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return nullptr;
    using BindEngine = int (*)(ENGINE*, const char*, const dynamic_fns*);
    auto bind = reinterpret_cast<BindEngine>(::dlsym(library, "bind_engine"));
    if (bind == nullptr) return nullptr;
    EnginePtr engine(ENGINE_new());
    if (!engine) return nullptr;
    dynamic_fns fns{};
    // The same OpenSSL as ours: the library skips setting up its own.
    fns.static_state = ENGINE_get_static_state();
    CRYPTO_get_mem_functions(&fns.mem_fns.malloc_fn, &fns.mem_fns.realloc_fn, &fns.mem_fns.free_fn);
    if (!bind(engine.get(), "pkcs11", &fns)) return nullptr;
    return engine;
}

// The engine's first instance, through OpenSSL's "dynamic" loader, listed.
EnginePtr loadThroughDynamic(const std::string& path) {
    OPENSSL_init_crypto(OPENSSL_INIT_ENGINE_DYNAMIC, nullptr);
    EnginePtr dynamic(ENGINE_by_id("dynamic"));
    if (!dynamic) {
        Logger::error("HttpClient: ENGINE_by_id(\"dynamic\") returned NULL");
        return nullptr;
    }
    if (!ENGINE_ctrl_cmd_string(dynamic.get(), "SO_PATH", path.c_str(), 0) ||
        !ENGINE_ctrl_cmd_string(dynamic.get(), "ID", "pkcs11", 0) ||
        !ENGINE_ctrl_cmd_string(dynamic.get(), "LIST_ADD", "1", 0) ||
        !ENGINE_ctrl_cmd_string(dynamic.get(), "LOAD", nullptr, 0)) {
        Logger::error("HttpClient: failed to load pkcs11 engine from " + path);
        return nullptr;
    }
    dynamic.reset();
    EnginePtr engine(ENGINE_by_id("pkcs11"));
    if (!engine) Logger::error("HttpClient: ENGINE_by_id(\"pkcs11\") NULL after LOAD");
    return engine;
}

// A later instance (only after the test rig's reset), bound directly, listed.
EnginePtr loadAgain(const std::string& path) {
    EnginePtr engine = newInstance(path);
    if (!engine || !ENGINE_add(engine.get())) {
        Logger::error("HttpClient: failed to load pkcs11 engine from " + path);
        return nullptr;
    }
    return engine;
}

// libp11 builds its RSA and EC key methods on the first lookup, unguarded:
// once libcurl makes the engine the default, two threads' first handshakes
// each build one and one copy leaks. They are built here, under our lock,
// before any handle can name the engine.
void buildKeyMethods(ENGINE* engine) {
    for (int type : {EVP_PKEY_RSA, EVP_PKEY_EC}) ENGINE_get_pkey_meth(engine, type);
    ERR_clear_error();
}

bool loadLocked(EngineState& s) {
    const std::string path = locatePkcs11EngineLibrary();
    if (path.empty()) {
        Logger::warn(
            "HttpClient: pkcs11 engine .dylib not found — install libp11 (brew install libp11) or set OPENSSL_ENGINES "
            "to the directory containing it");
        return false;
    }
    EnginePtr engine = s.bound ? loadAgain(path) : loadThroughDynamic(path);
    if (!engine) return false;
    if (!ENGINE_init(engine.get())) {
        Logger::error("HttpClient: ENGINE_init(pkcs11) failed");
        return false;
    }
    buildKeyMethods(engine.get());
    // The functional reference taken by ENGINE_init keeps the engine
    // initialised for the life of the process; only the lookup goes.
    s.started.push_back(engine.get());
    s.bound = true;
    Logger::info("HttpClient: pkcs11 engine loaded from " + path);
    return true;
}

bool setPinOn(ENGINE* engine, const std::string& pin) {
    if (ENGINE_ctrl_cmd_string(engine, "PIN", pin.c_str(), 0) == 0) {
        Logger::warn("HttpClient: ENGINE_ctrl_cmd_string(PIN) returned 0 — engine may reject the PIN");
        ERR_clear_error();
        return false;
    }
    return true;
}

// A fresh engine instance in place of the listed one: a new libp11 context
// with no sessions, no slot list, and the PIN given or none. It gets the PIN
// before it is listed, so no key load sees it without. The old instance
// stays initialised (finishing it would finalise the module under the
// signer and under handles still holding it) and is only taken off the list.
bool replaceInstanceLocked(EngineState& s, const std::string& pin) {
    EnginePtr fresh = newInstance(locatePkcs11EngineLibrary());
    if (fresh && !pin.empty() && !setPinOn(fresh.get(), pin)) fresh.reset();
    EnginePtr old(ENGINE_by_id("pkcs11"));
    if (!fresh || (old && !ENGINE_remove(old.get())) || !ENGINE_add(fresh.get()) || !ENGINE_init(fresh.get())) {
        ERR_clear_error();
        Logger::error("HttpClient: the pkcs11 engine could not be started afresh");
        EnginePtr listed(ENGINE_by_id("pkcs11"));
        if (!listed && old) ENGINE_add(old.get());
        ERR_clear_error();
        return false;
    }
    buildKeyMethods(fresh.get());
    // The functional reference taken by ENGINE_init keeps it for the life of
    // the process, as with the first instance.
    s.started.push_back(fresh.get());
    s.loaded = true;
    s.holdsPin = !pin.empty();
    Logger::info("HttpClient: pkcs11 engine started afresh");
    return true;
}

bool setPinLocked(EngineState& s, const std::string& pin) {
    EnginePtr engine(ENGINE_by_id("pkcs11"));
    if (!engine) {
        // A failed lookup leaves its reason queued, where libcurl would later
        // report it as the handshake's error.
        ERR_clear_error();
        return false;
    }
    if (!setPinOn(engine.get(), pin)) return false;
    s.holdsPin = true;
    return true;
}

// The engine holds this PIN, or none, while no transfer runs under another.
void installPinLocked(EngineState& s, const std::string& pin) {
    if (!s.loaded) {
        s.loaded = loadLocked(s);
        if (!s.loaded) ERR_clear_error();
    }
    if (!s.loaded) return;
    if (!pin.empty())
        setPinLocked(s, pin);
    else if (s.holdsPin)
        replaceInstanceLocked(s, pin);
}

// The right to load the card's key under one PIN for one transfer.
class KeyLoadLease {
public:
    explicit KeyLoadLease(const std::string& pin) : digest_(digestOf(pin)) {
        EngineState& s = state();
        std::unique_lock<std::mutex> lock(s.mutex);
        s.released.wait(lock, [&] { return s.users == 0 || s.pinDigest == digest_; });
        // A PIN is never set while a key load may read it.
        if (s.users == 0) {
            installPinLocked(s, pin);
            s.pinDigest = digest_;
        }
        ++s.users;
    }
    ~KeyLoadLease() {
        EngineState& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        if (--s.users == 0) s.released.notify_all();
    }
    KeyLoadLease(const KeyLoadLease&) = delete;
    KeyLoadLease& operator=(const KeyLoadLease&) = delete;

private:
    std::string digest_;
};

// The handle takes the listed instance (libcurl keeps the one it was given).
void pointAtEngine(CURL* handle) {
    curl_easy_setopt(handle, CURLOPT_SSLENGINE, "pkcs11");
    curl_easy_setopt(handle, CURLOPT_SSLENGINE_DEFAULT, 1L);
}

}  // namespace

bool cardSessionsLost(CURLcode rc, const std::string& errorText) {
    if (rc != CURLE_SSL_CERTPROBLEM && rc != CURLE_SSL_CONNECT_ERROR && rc != CURLE_SSL_ENGINE_INITFAILED) return false;
    // libcurl appends OpenSSL's "error:XXXXXXXX:PKCS#11 module::<text>"; the
    // libp11 library puts the module's CK_RV in the reason bits.
    static const std::string kLib = ":PKCS#11 module:";
    for (size_t at = errorText.find(kLib); at != std::string::npos; at = errorText.find(kLib, at + 1)) {
        if (at < 8) continue;
        unsigned long code = 0;
        bool hex = true;
        for (size_t i = at - 8; i < at && hex; ++i) {
            int d = common::ascii::hexValue(errorText[i]);
            hex = d >= 0;
            code = (code << 4) | static_cast<unsigned long>(d < 0 ? 0 : d);
        }
        if (!hex) continue;
        switch (ERR_GET_REASON(code)) {
            case CKR_SESSION_HANDLE_INVALID:
            case CKR_SESSION_CLOSED:
            case CKR_DEVICE_REMOVED:
            case CKR_TOKEN_NOT_PRESENT:
            case CKR_USER_NOT_LOGGED_IN:
            // Handles the engine keeps of the key, gone with a logout (the
            // signer checking a mistyped PIN logs the whole process out).
            case CKR_OBJECT_HANDLE_INVALID:
            case CKR_KEY_HANDLE_INVALID:
                return true;
            default:
                break;
        }
    }
    return false;
}

CURLcode performWithCardKey(CURL* handle, const std::string& pin, char* errorBuffer, const Deadline* deadline) {
    KeyLoadLease lease(pin);
    pointAtEngine(handle);
    char ownBuffer[CURL_ERROR_SIZE] = {0};
    char* errorText = errorBuffer != nullptr ? errorBuffer : ownBuffer;
    if (errorBuffer == nullptr) curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, ownBuffer);
    errorText[0] = '\0';
    CURLcode rc = curl_easy_perform(handle);
    if (cardSessionsLost(rc, errorText)) {
        Logger::warn("HttpClient: the card's sessions are gone (card pulled and put back?); trying once more");
        {
            EngineState& s = state();
            std::lock_guard<std::mutex> lock(s.mutex);
            replaceInstanceLocked(s, pin);
        }
        pointAtEngine(handle);
        errorText[0] = '\0';
        // The second try belongs to the same request: only its time is left.
        rc = deadline ? deadline->arm(handle) : CURLE_OK;
        if (rc == CURLE_OK) rc = curl_easy_perform(handle);
    }
    if (errorBuffer == nullptr) curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, nullptr);
    return rc;
}

std::string locatePkcs11EngineLibrary() {
    if (const char* env = std::getenv("OPENSSL_ENGINES"); env && *env) {
        if (auto found = firstInFolder(env); !found.empty()) return found;
    }
    for (const char* folder : {"/opt/homebrew/lib/engines-3", "/usr/local/lib/engines-3",
                               "/usr/lib/x86_64-linux-gnu/engines-3", "/usr/lib64/engines-3", "/usr/lib/engines-3"}) {
        if (auto found = firstInFolder(folder); !found.empty()) return found;
    }
    for (const char* cellar : {"/opt/homebrew/Cellar/libp11", "/usr/local/Cellar/libp11"}) {
        std::error_code ec;
        if (!fs::is_directory(cellar, ec)) continue;
        fs::directory_iterator it(cellar, ec), end;
        for (; !ec && it != end; it.increment(ec)) {
            if (auto found = firstInFolder(it->path() / "lib" / "engines-3"); !found.empty()) return found;
        }
    }
    return {};
}

void setPkcs11ModulePathOnce(const std::string& modulePath) {
    std::lock_guard<std::mutex> lock(state().mutex);
    ::setenv("PKCS11_MODULE_PATH", modulePath.c_str(), 0);
}

bool ensurePkcs11EngineLoaded() {
    EngineState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.loaded) {
        s.loaded = loadLocked(s);
        if (!s.loaded) ERR_clear_error();
    }
    return s.loaded;
}

bool setPkcs11EnginePin(const std::string& pin) {
    EngineState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return setPinLocked(s, pin);
}

}  // namespace tavo::core::infra::http

namespace tavo::core::infra::http::testing {

void resetPkcs11Engine() {
    EngineState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    // Only a loaded engine is listed: otherwise ENGINE_by_id would load one
    // from OpenSSL's engine folder just to find it.
    if (s.loaded) {
        if (EnginePtr listed{ENGINE_by_id("pkcs11")}) ENGINE_remove(listed.get());
    }
    // libcurl made each instance the default for every method it offers
    // (CURLOPT_SSLENGINE_DEFAULT); out of OpenSSL's method tables, no later
    // key of the process takes it. The instances themselves stay started, as
    // in production: keys made meanwhile may still hold them, and the last of
    // those going would finalise the module under a later test.
    for (ENGINE* engine : s.started) {
        ENGINE_unregister_RSA(engine);
        ENGINE_unregister_DSA(engine);
        ENGINE_unregister_EC(engine);
        ENGINE_unregister_DH(engine);
        ENGINE_unregister_RAND(engine);
        ENGINE_unregister_ciphers(engine);
        ENGINE_unregister_digests(engine);
        ENGINE_unregister_pkey_meths(engine);
        ENGINE_unregister_pkey_asn1_meths(engine);
    }
    s.loaded = false;
    s.holdsPin = false;
    s.pinDigest.clear();
    ::unsetenv("PKCS11_MODULE_PATH");
    ERR_clear_error();
}

}  // namespace tavo::core::infra::http::testing
