#pragma once

#include <string>

namespace tavo::core::infra::http {

// The OpenSSL "pkcs11" engine (libp11) and the PKCS11_MODULE_PATH variable it
// reads are process-wide: every function here takes one mutex, so the engine
// is loaded and the variable set once however many clients are built.

// Sets PKCS11_MODULE_PATH to the path unless a value is already there (an
// existing value wins).
void setPkcs11ModulePathOnce(const std::string& modulePath);

// Loads and initialises the engine unless an earlier call succeeded; failures
// are logged and retried by the next call. True when the engine is loaded.
bool ensurePkcs11EngineLoaded();

// Hands the PIN to the loaded engine for every later key load. False when the
// engine is absent or refuses it (both logged; the PIN never is).
bool setPkcs11EnginePin(const std::string& pin);

// The engine library: OPENSSL_ENGINES first, then the usual install folders;
// empty when none exists.
std::string locatePkcs11EngineLibrary();

}  // namespace tavo::core::infra::http
