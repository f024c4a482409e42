#pragma once

#include <curl/curl.h>

#include <string>

#include "infrastructure/http/CurlHandles.h"

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

// One transfer of a handle whose client key is on the card (set up for the
// "pkcs11" engine). The engine holds one PIN for the whole process and uses
// it at every key load, so for the length of the transfer:
// - the handle is pointed at the current engine instance;
// - the engine holds this PIN, or none when the PIN is empty (the engine
//   cannot forget a PIN: an instance holding one is replaced by a fresh
//   one); a transfer that needs another PIN waits until those running under
//   the present one are done, so a card never sees another card's PIN.
// When the handshake fails because the card's sessions are gone (the card
// was pulled and put back), the engine instance is replaced and the
// transfer runs once more: nothing was sent before the key was loaded. A
// refused PIN is never tried again. errorBuffer: the CURLOPT_ERRORBUFFER
// the caller set on the handle, if any (read, and left in place); without
// one a buffer of the call's own is set for the transfer and removed after.
// deadline: the request's, if any; the second try gets only what is left.
CURLcode performWithCardKey(CURL* handle, const std::string& pin, char* errorBuffer = nullptr,
                            const Deadline* deadline = nullptr);

// Whether libcurl's error text of a failed transfer says that the card's
// sessions, token or login are gone (a PKCS#11 session, device, login or
// handle error, never a PIN error).
bool cardSessionsLost(CURLcode rc, const std::string& errorText);

// The engine library: OPENSSL_ENGINES first, then the usual install folders;
// empty when none exists.
std::string locatePkcs11EngineLibrary();

}  // namespace tavo::core::infra::http
