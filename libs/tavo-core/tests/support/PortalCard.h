#pragma once

#include <memory>
#include <string>

#include "domain/SenderIdentity.h"
#include "support/SoftHsmToken.h"
#include "support/TempDir.h"

namespace tavo::test {

// A SoftHSM card with one client key whose certificate the login host
// accepts, wired as the portal client's PKCS#11 module; and the log file of
// the test process.
class PortalCard {
public:
    PortalCard();

    const SoftHsmToken::Key& key() const { return key_; }
    const std::string& pin() const { return token_.userPin(); }
    core::domain::SenderIdentity identity() const;
    std::string logText() const;

private:
    SoftHsmToken token_;
    SoftHsmToken::Key key_;
    ScopedEnv module_;
    TempDir logDir_;
};

}  // namespace tavo::test
