#include "domain/PortalAnswers.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace tavo::core::domain;

std::string deepProps(int depth) {
    return "[{\"services\":[{\"links\":[{\"props\":{\"x\":" + std::string(depth, '[') + std::string(depth, ']') +
           "}}]}]}]";
}

TEST(TaxpayerList, ReadsMembersWithTheListReader) {
    auto r = readTaxpayerList(
        R"([{"name":"Фирма ООД","pin":"123456789","pinType":"EIK","tin":42.9,"email":"a@b.bg","authorization":"full","active":true},)"
        R"({"name":5,"pin":123,"pinType":null,"tin":"123","email":true,"active":"true"},)"
        R"(7])");
    ASSERT_EQ(r.failure, AnswerFailure::None);
    ASSERT_EQ(r.taxpayers.size(), 3u);
    const TaxpayerInfo& a = r.taxpayers[0];
    EXPECT_EQ(a.name, "Фирма ООД");
    EXPECT_EQ(a.pin, "123456789");
    EXPECT_EQ(a.pinType, NapIdentifierType::BUS_BULSTAT);
    EXPECT_EQ(a.tin, 42);  // fraction cut off
    EXPECT_EQ(a.email, "a@b.bg");
    EXPECT_EQ(a.authorization, "full");
    EXPECT_TRUE(a.active);
    // The list reader takes strings only; a text tin and a text flag do not count.
    const TaxpayerInfo& b = r.taxpayers[1];
    EXPECT_EQ(b.name, "");
    EXPECT_EQ(b.pin, "");
    EXPECT_EQ(b.pinType, NapIdentifierType::UNKNOWN);
    EXPECT_EQ(b.tin, 0);
    EXPECT_EQ(b.email, "");
    EXPECT_FALSE(b.active);
    // A non-object element gives an empty entry.
    EXPECT_EQ(r.taxpayers[2].tin, 0);
    EXPECT_EQ(r.taxpayers[2].name, "");
}

TEST(TaxpayerList, PinTypeMapping) {
    struct Case {
        const char* text;
        NapIdentifierType expected;
    };
    for (const Case& c : {Case{"eik", NapIdentifierType::BUS_BULSTAT},
                          {"EIK", NapIdentifierType::BUS_BULSTAT},
                          {"bus_BULSTAT", NapIdentifierType::BUS_BULSTAT},
                          {"egn", NapIdentifierType::IND_EGN},
                          {"Ind_Egn", NapIdentifierType::IND_EGN},
                          {"IND_LNCH", NapIdentifierType::IND_LNCH},
                          {"ind_slno", NapIdentifierType::IND_SLNO},
                          {"ind_bulstat", NapIdentifierType::IND_BULSTAT},
                          {" ", NapIdentifierType::UNKNOWN},
                          {"eik ", NapIdentifierType::UNKNOWN},
                          {"", NapIdentifierType::UNKNOWN}}) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(pinTypeFromPortal(c.text), c.expected);
    }
}

TEST(TaxpayerList, TinsOutOfRangeReadAsZeroAndAreCounted) {
    struct Case {
        const char* body;
        int64_t tin;
        int outOfRange;
    };
    for (const Case& c : {Case{R"([{"tin":1e30}])", 0, 1},
                          {R"([{"tin":-1e30}])", 0, 1},
                          {R"([{"tin":18446744073709551615}])", 0, 1},
                          {R"([{"tin":9223372036854775807}])", INT64_MAX, 0},
                          {R"([{"tin":-9223372036854775808}])", INT64_MIN, 0},
                          {R"([{"tin":-3.7}])", -3, 0}}) {
        SCOPED_TRACE(c.body);
        auto r = readTaxpayerList(c.body);
        ASSERT_EQ(r.taxpayers.size(), 1u);
        EXPECT_EQ(r.taxpayers[0].tin, c.tin);
        EXPECT_EQ(r.tinsOutOfRange, c.outOfRange);
    }
}

TEST(TaxpayerList, FailuresCarryNoEntries) {
    struct Case {
        std::string body;
        AnswerFailure failure;
    };
    for (const Case& c : {Case{"{}", AnswerFailure::Shape},
                          {"\"x\"", AnswerFailure::Shape},
                          {"[{\"tin\":1}", AnswerFailure::Parse},
                          {"[1e400]", AnswerFailure::Parse},
                          {"", AnswerFailure::Parse},
                          {std::string(100000, '[') + std::string(100000, ']'), AnswerFailure::Parse}}) {
        SCOPED_TRACE(c.body.substr(0, 20));
        auto r = readTaxpayerList(c.body);
        EXPECT_EQ(r.failure, c.failure);
        EXPECT_TRUE(r.taxpayers.empty());
        if (c.failure == AnswerFailure::Parse) {
            EXPECT_FALSE(r.error.empty());
        }
    }
}

TEST(SelectAnswer, ReadsNumbersAsText) {
    struct Case {
        const char* body;
        SelectedTaxpayer expected;
        bool namesTin;  // whether the answer says which taxpayer the portal selected
    };
    for (const Case& c : {Case{R"({"tin":123,"pin":"201","tpId":"tp-1"})", {123, "201", "tp-1"}, true},
                          {R"({"tin":5,"pin":123456789,"tpId":2.5})", {5, "123456789", "2.500000"}, true},
                          {R"({"pin":true,"tpId":null})", {0, "", ""}, false},
                          {R"({"tin":"77","pin":[1],"tpId":{}})", {0, "", ""}, false},
                          {R"({"tin":null})", {0, "", ""}, false},
                          {R"({"tin":0})", {0, "", ""}, true},
                          {R"([1,2])", {0, "", ""}, false},
                          {R"({"tin":1e30})", {0, "", ""}, true}}) {
        SCOPED_TRACE(c.body);
        auto r = readSelectAnswer(c.body);
        ASSERT_TRUE(r.taxpayer);
        EXPECT_EQ(*r.taxpayer, c.expected);
        EXPECT_EQ(r.namesTin, c.namesTin);
    }
    EXPECT_TRUE(readSelectAnswer(R"({"tin":1e30})").tinOutOfRange);
}

TEST(SelectAnswer, UnreadableBodiesGiveNothing) {
    for (const char* body : {"", "{\"tin\":", "{\"tin\":1e400}", "<html>"}) {
        SCOPED_TRACE(body);
        auto r = readSelectAnswer(body);
        EXPECT_FALSE(r.taxpayer);
        EXPECT_FALSE(r.error.empty());
    }
}

TEST(Catalogue, ReadsEveryLevelInOrder) {
    auto r = readCatalogue(R"([
      {"id":1,"name":"cat","i18nTitle":"","title":"Категория","services":[
        {"id":"s1","name":"svc","i18nTitle":"Услуга","links":[
          {"id":10,"name":"l1","i18nName":"","title":"Подаване","link":"/x","linkType":"PLSQL","orderNum":3,
           "props":{"systemId":7,"x":null,"y":[1],"z":{"b":false},"f":0.5,"t":true}},
          {"id":"11","orderNum":1.5},
          {"id":"12","orderNum":2147483648},
          {"id":"13","orderNum":-2147483648},
          {"id":"14","orderNum":"4"}
        ]},
        {"id":"s2","name":"other","links":{}}
      ]},
      {"id":true,"name":null,"services":"none"}
    ])");
    ASSERT_EQ(r.failure, AnswerFailure::None);
    ASSERT_EQ(r.categories.size(), 2u);
    const NapCategory& cat = r.categories[0];
    EXPECT_EQ(cat.id, "1");
    EXPECT_EQ(cat.title, "Категория");  // empty i18nTitle falls back to title
    ASSERT_EQ(cat.services.size(), 2u);
    EXPECT_EQ(cat.services[0].title, "Услуга");
    EXPECT_TRUE(cat.services[1].links.empty());
    const auto& links = cat.services[0].links;
    ASSERT_EQ(links.size(), 5u);
    EXPECT_EQ(links[0].id, "10");
    EXPECT_EQ(links[0].title, "Подаване");
    EXPECT_EQ(links[0].link, "/x");
    EXPECT_EQ(links[0].linkType, "PLSQL");
    EXPECT_EQ(links[0].orderNum, 3);
    EXPECT_EQ(links[0].props.at("systemId"), "7");
    EXPECT_EQ(links[0].props.at("x"), "");
    EXPECT_EQ(links[0].props.at("y"), "[1]");
    EXPECT_EQ(links[0].props.at("z"), "{\"b\":false}");
    EXPECT_EQ(links[0].props.at("f"), "0.500000");
    EXPECT_EQ(links[0].props.at("t"), "true");
    EXPECT_EQ(links[0].systemId(), 7);
    // Only integers within int32 count as an order number.
    EXPECT_EQ(links[1].orderNum, 2147483647);
    EXPECT_EQ(links[2].orderNum, 2147483647);
    EXPECT_EQ(links[3].orderNum, -2147483647 - 1);
    EXPECT_EQ(links[4].orderNum, 2147483647);
    EXPECT_EQ(r.categories[1].id, "true");
    EXPECT_EQ(r.categories[1].name, "");
    EXPECT_TRUE(r.categories[1].services.empty());
}

TEST(Catalogue, HostileAnswersLoadNothing) {
    struct Case {
        std::string body;
        AnswerFailure failure;
    };
    for (const Case& c : {Case{"{}", AnswerFailure::Shape},
                          {"1e400", AnswerFailure::Parse},
                          {"[{\"id\":1e400}]", AnswerFailure::Parse},
                          {deepProps(100000), AnswerFailure::Parse},
                          {"[{\"id\":\"1\",\"services\":[", AnswerFailure::Parse}}) {
        SCOPED_TRACE(c.body.substr(0, 30));
        auto r = readCatalogue(c.body);
        EXPECT_EQ(r.failure, c.failure);
        EXPECT_TRUE(r.categories.empty());
    }
    // Props nested within the limit are kept as compact text.
    auto shallow = readCatalogue(deepProps(10));
    ASSERT_EQ(shallow.failure, AnswerFailure::None);
    EXPECT_EQ(shallow.categories[0].services[0].links[0].props.at("x"), std::string(10, '[') + std::string(10, ']'));
}

TEST(CsrfToken, OnlyAStringCounts) {
    EXPECT_EQ(readCsrfToken(R"({"_csrf":"abc-123"})"), "abc-123");
    for (const char* body : {"", R"({"_csrf":5})", R"({"csrf":"x"})", R"(["_csrf"])", R"({"_csrf":)", "1e400"}) {
        SCOPED_TRACE(body);
        EXPECT_FALSE(readCsrfToken(body));
    }
}

}  // namespace
