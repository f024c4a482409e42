#pragma once

#include <string>

#include "platform/Keychain.h"

// For the test rig only: production code includes Keychain.h, never this.
namespace tavo::platform::keychain {

// The folder holding the items.
std::string storageDirectory();

enum class Operation { Add, Update, Delete, CopyMatching, CopyPrivateKey, CreateSignature };
// Every later call of the operation fails with status until cleared.
void injectFailure(Operation operation, OSStatus status);
void clearInjectedFailures();

}  // namespace tavo::platform::keychain
