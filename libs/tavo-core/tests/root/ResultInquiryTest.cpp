#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "EngineTestOperations.h"
#include "InMemorySettingsProvider.h"
#include "TavoEngine.h"
#include "support/LogCapture.h"
#include "support/PortalCard.h"
#include "support/PortalStandIn.h"

using namespace tavo::core;
using nlohmann::json;
using tavo::test::hasLineStartingWith;
using tavo::test::PortalStandIn;
using tavo::test::Reply;

// A result inquiry whose portal preparation fails: the user gets the reason in
// the payload, the log gets one WARN line, and no result page is fetched.
TEST(ResultInquiry, PreparationFailuresReachThePayloadAndOneLogLine) {
    tavo::test::PortalCard card;
    PortalStandIn portal;
    const std::string forged = "2020-01-01 00:00:00 [INFO ] LoginFlow: QES login succeeded";
    auto taxpayers = PortalStandIn::defaultTaxpayers();
    taxpayers.push_back({"Фирма с нов ред", "555\n" + forged, "EIK", 4100000009, "TP-4100000009"});
    portal.setTaxpayers(taxpayers);
    Sender sender{"s-0123456789ab", "Тест Трейд ООД", card.identity()};
    TavoEngine engine(std::make_unique<InMemorySettingsProvider>(std::vector<Sender>{sender}, sender.id));
    engine.initialize();
    engine.setPin(card.pin());

    const std::string notFound = "Фирма с избрания ЕИК не е намерена в списъка на задължените лица";
    struct Case {
        const char* name;
        std::function<void()> script;
        std::string eik;
        std::string error;   // in the payload, as the user sees it
        std::string logged;  // after "portal prep failed: "
    };
    const std::vector<Case> cases = {
        {"taxpayer not found", [] {}, "111111111", notFound + " (налични задължени лица: 4)",
         notFound + " (налични задължени лица: 4)"},
        {"caller text with a line break", [&] { portal.setSelectReply(Reply::text("down", 503)); }, "555\n" + forged,
         "Неуспешен избор на ЗЛ 555\n" + forged, "Неуспешен избор на ЗЛ 555\\x0A" + forged},
        {"no results link",
         [&] {
             portal.setSelectReply(std::nullopt);
             json catalogue = json::parse(PortalStandIn::defaultCatalogue());
             auto& links = catalogue[0]["services"][0]["links"];
             links.erase(2);  // the results link
             portal.setCategoriesReply(Reply::json(catalogue.dump()));
         },
         "123456789", "Не е намерен линк за 'Декларации по чл. 55'", "Не е намерен линк за 'Декларации по чл. 55'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.script();
        json params = {{"documentId", "77"}, {"eik", c.eik}};
        ExecuteResult r = engine.executeOperation(engine_test::kResult, params.dump());
        ASSERT_TRUE(r.ok) << r.error;
        json payload = json::parse(r.payload);
        EXPECT_EQ(payload["status"], "error");
        EXPECT_EQ(payload["error"], c.error);
        EXPECT_EQ(payload["rawBody"], "");
        EXPECT_NE(card.logText().find("[WARN ] SubmissionResultInquiry[" + std::string(engine_test::kResult) +
                                      "]: portal prep failed: " + c.logged),
                  std::string::npos);
    }
    EXPECT_FALSE(portal.portal().journal().lastOn("/pls/pub/DECL55.WEB.showResult"));
    EXPECT_FALSE(hasLineStartingWith(card.logText(), forged));
}
