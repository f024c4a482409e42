#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>

#include "EngineTestOperations.h"
#include "InMemorySettingsProvider.h"
#include "TavoEngine.h"
#include "support/FaultModule.h"
#include "support/LogCapture.h"
#include "support/PortalStandIn.h"
#include "support/SoftHsmToken.h"

using namespace tavo::core;
using nlohmann::json;
using tavo::test::FaultModule;
using tavo::test::PortalStandIn;
using tavo::test::SoftHsmToken;

namespace {

Sender senderFor(const std::string& id, const SoftHsmToken::Key& key) {
    Sender s;
    s.id = id;
    s.displayName = "Фирма " + id;
    s.identity.identifier = "123456789";
    s.identity.identifierType = domain::NapIdentifierType::BUS_BULSTAT;
    s.identity.certificateId = key.certificateId;
    return s;
}

size_t certificateLogins(const PortalStandIn& portal) {
    auto all = portal.journal().all();
    return static_cast<size_t>(std::count_if(
        all.begin(), all.end(), [](const tavo::test::RecordedRequest& r) { return r.path == "/auth/login/qes"; }));
}

}  // namespace

// Two cards in one reader, each with its own PIN, both behind the module that
// counts logins: a PIN reaches only the card it was given for, and a sender
// whose card has no PIN yet is told so without the card being tried.
TEST(CardPin, APinReachesOnlyTheCardItWasGivenFor) {
    SoftHsmToken cardA("CardA", "1111");
    SoftHsmToken cardB(cardA, "CardB", "2222");
    const auto keyA = cardA.addRsaKey("0A01", "Подписващ А");
    const auto keyB = cardB.addRsaKey("0B01", "Подписващ Б");
    ASSERT_NE(cardA.slotId(), cardB.slotId());
    FaultModule fault;
    tavo::test::ScopedEnv module("TAVO_PKCS11_MODULE", FaultModule::path().c_str());
    PortalStandIn portal;
    tavo::test::LogCapture log;

    const std::string a = "s-00000000000a", b = "s-00000000000b";
    TavoEngine engine(
        std::make_unique<InMemorySettingsProvider>(std::vector<Sender>{senderFor(a, keyA), senderFor(b, keyB)}, b));
    engine.initialize();

    const std::string needsPinA =
        "Необходим е PIN код: не е зададен PIN за картата на сертификат " + keyA.certificateId + ".";
    const std::string needsPinB =
        "Необходим е PIN код: не е зададен PIN за картата на сертификат " + keyB.certificateId + ".";
    struct Step {
        const char* name;
        std::string pin;     // handed to the engine before the call; empty: none
        std::string sender;  // named in the call; empty: the active one
        std::string error;   // empty: logged in with this step's card
        const SoftHsmToken::Key* card;
        bool refusedByCard;  // the card saw a PIN and refused it
    };
    const std::vector<Step> steps = {
        // The counterpart first: a PIN the card refuses is counted, so the
        // zero increments below mean no card saw a PIN that was not its own.
        {"B with a mistyped PIN", "9999", "", "", nullptr, true},
        {"A: B's PIN stays behind", "", a, needsPinA, nullptr, false},
        {"A with its PIN", "1111", "", "", &keyA, false},
        // A's PIN never reaches B's card, named or active.
        {"B named, without a PIN", "", b, needsPinB, nullptr, false},
        {"B active, without a PIN", "", "", needsPinB, nullptr, false},
        {"B with its PIN", "2222", "", "", &keyB, false},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        const unsigned long loginsBefore = fault.count("C_Login");
        const unsigned long refusedBefore = fault.count("pinRefusals");
        const size_t certificateLoginsBefore = certificateLogins(portal);
        if (!step.pin.empty()) engine.setPin(step.pin);
        ExecuteResult r = engine.executeOperation(engine_test::kLogin, "{}", std::nullopt, nullptr, step.sender);
        ASSERT_TRUE(r.ok) << r.error;
        json metadata = json::parse(r.payload)["metadata"];
        if (step.refusedByCard) {
            EXPECT_EQ(metadata["status"], "error");
            EXPECT_GT(fault.count("pinRefusals"), refusedBefore);
            continue;
        }
        EXPECT_EQ(fault.count("pinRefusals"), refusedBefore);
        if (step.card) {
            EXPECT_EQ(metadata["status"], "ok") << metadata;
            EXPECT_EQ(portal.loginHost().journal().clientSubjectOn("/auth/login/qes"), step.card->cert.subject);
        } else {
            EXPECT_EQ(metadata["status"], "error");
            EXPECT_EQ(metadata["error"], step.error);
            // Neither a card nor the login host was tried.
            EXPECT_EQ(fault.count("C_Login"), loginsBefore);
            EXPECT_EQ(certificateLogins(portal), certificateLoginsBefore);
        }
    }
    EXPECT_TRUE(log.contains("NapSession::login: " + needsPinB));
}
