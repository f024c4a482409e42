// The ENGINE interface is deprecated in OpenSSL 3, yet libcurl and libp11
// still reach smart-card keys only through it.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "infrastructure/http/Pkcs11Engine.h"

#include <openssl/crypto.h>
#include <openssl/engine.h>
#include <openssl/err.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>

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
};

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

bool loadLocked() {
    const std::string path = locatePkcs11EngineLibrary();
    if (path.empty()) {
        Logger::warn(
            "HttpClient: pkcs11 engine .dylib not found — install libp11 (brew install libp11) or set OPENSSL_ENGINES "
            "to the directory containing it");
        return false;
    }
    OPENSSL_init_crypto(OPENSSL_INIT_ENGINE_DYNAMIC, nullptr);
    EnginePtr dynamic(ENGINE_by_id("dynamic"));
    if (!dynamic) {
        Logger::error("HttpClient: ENGINE_by_id(\"dynamic\") returned NULL");
        return false;
    }
    if (!ENGINE_ctrl_cmd_string(dynamic.get(), "SO_PATH", path.c_str(), 0) ||
        !ENGINE_ctrl_cmd_string(dynamic.get(), "ID", "pkcs11", 0) ||
        !ENGINE_ctrl_cmd_string(dynamic.get(), "LIST_ADD", "1", 0) ||
        !ENGINE_ctrl_cmd_string(dynamic.get(), "LOAD", nullptr, 0)) {
        Logger::error("HttpClient: failed to load pkcs11 engine from " + path);
        return false;
    }
    dynamic.reset();
    EnginePtr engine(ENGINE_by_id("pkcs11"));
    if (!engine) {
        Logger::error("HttpClient: ENGINE_by_id(\"pkcs11\") NULL after LOAD");
        return false;
    }
    if (!ENGINE_init(engine.get())) {
        Logger::error("HttpClient: ENGINE_init(pkcs11) failed");
        return false;
    }
    // The functional reference taken by ENGINE_init keeps the engine
    // initialised for the life of the process; only the lookup goes.
    Logger::info("HttpClient: pkcs11 engine loaded from " + path);
    return true;
}

}  // namespace

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
        s.loaded = loadLocked();
        if (!s.loaded) ERR_clear_error();
    }
    return s.loaded;
}

bool setPkcs11EnginePin(const std::string& pin) {
    std::lock_guard<std::mutex> lock(state().mutex);
    EnginePtr engine(ENGINE_by_id("pkcs11"));
    if (!engine) {
        // A failed lookup leaves its reason queued, where libcurl would later
        // report it as the handshake's error.
        ERR_clear_error();
        return false;
    }
    if (ENGINE_ctrl_cmd_string(engine.get(), "PIN", pin.c_str(), 0) == 0) {
        Logger::warn("HttpClient: ENGINE_ctrl_cmd_string(PIN) returned 0 — engine may reject the PIN");
        return false;
    }
    return true;
}

}  // namespace tavo::core::infra::http
