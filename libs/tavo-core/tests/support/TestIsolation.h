#pragma once

namespace tavo::test {

// Makes every test of a process start as if it ran alone (installed by the
// test executables' main): its own HOME folder, removed after it; the
// working folder it started in, restored after it; no pause left recorded.
// After it, the process-wide state the library keeps is given back: the
// pkcs11 engine and every PKCS#11 module it or a signer left initialised
// (SoftHSM reads its token folder only when initialised, so the next test's
// token is seen), the operations it registered, the portal's caches, the
// test seam's once-per-process warnings, injected keychain failures and a
// replaced java_home.
void installPerTestIsolation();

}  // namespace tavo::test
