#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace tavo::test {

// The fault-injecting PKCS#11 module (support/faultmodule/) over SoftHSM:
// chosen return codes by environment and call counters read back from a
// file. Create the SoftHsmToken first: the wrapped SoftHSM reads its
// SOFTHSM2_CONF when initialised.
class FaultModule {
public:
    FaultModule();
    ~FaultModule();
    FaultModule(const FaultModule&) = delete;
    FaultModule& operator=(const FaultModule&) = delete;

    static std::string path();

    // One of the module's TAVO_FAULT_* variables, e.g.
    // inject("TAVO_FAULT_LOGIN_RV", "0xA4"); removed with the object.
    void inject(const std::string& variable, const std::string& value);
    void clear(const std::string& variable);

    // The card pulled from its reader: every open session dies and the token
    // is logged out; no token is present until putCardBack.
    void pullCard();
    void putCardBack();

    // Counter of a call or of sessions ("sessionsOpened", "sessionsClosed");
    // 0 when never counted.
    unsigned long count(const std::string& name) const;
    // C_FindObjects batches as "asked:got" pairs, comma-separated.
    std::string batches() const;

private:
    std::map<std::string, std::string> read() const;

    TempDir dir_;
    unsigned long removals_ = 0;
    std::vector<std::unique_ptr<ScopedEnv>> env_;
};

}  // namespace tavo::test
