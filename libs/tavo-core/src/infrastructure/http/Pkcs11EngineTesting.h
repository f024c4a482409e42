#pragma once

// For the test rig only: production code includes Pkcs11Engine.h, never this.
namespace tavo::core::infra::http::testing {

// Takes the engine off OpenSSL's lists and forgets the module path and the
// PIN, as if the engine had never been loaded: the next transfer with a card
// starts a fresh instance (a new libp11 context), which reads the module path
// and the module's tokens afresh. The old instances stay started and are
// never used again; the rig finalises the module they shared. Call with no
// transfer running.
void resetPkcs11Engine();

}  // namespace tavo::core::infra::http::testing
