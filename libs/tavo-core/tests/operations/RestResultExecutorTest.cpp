#include "operations/RestResultExecutor.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "common/Base64.h"
#include "common/Utf8.h"
#include "domain/NapSession.h"
#include "infrastructure/http/NapRestApiClient.h"
#include "infrastructure/signing/SignerPkcs11.h"
#include "support/PortalCard.h"
#include "support/PortalStandIn.h"
#include "support/RestApiStandIn.h"

namespace {

using tavo::core::domain::NapSession;
using tavo::core::operations::InquiryResult;
using tavo::core::operations::ParameterValues;
using tavo::core::operations::RestResultExecutor;
using tavo::signing::SignerPkcs11;
using tavo::test::PortalCard;
using tavo::test::PortalStandIn;
using tavo::test::Reply;
using tavo::test::RestApiStandIn;
using tavo::test::ScopedEnv;
using tavo::test::SoftHsmToken;
using json = nlohmann::json;
namespace b64 = tavo::core::common::base64;

constexpr const char* kKey = "result-key-77aa";

std::string encode(const std::string& bytes) {
    return b64::encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::string meta(const InquiryResult& r, const std::string& key) {
    auto it = r.metadata.find(key);
    return it == r.metadata.end() ? "<absent>" : it->second;
}

struct ResultFetchTest : ::testing::Test {
    PortalCard card;
    PortalStandIn portal;
    RestApiStandIn api;
    NapSession session;
    SignerPkcs11 signer{SoftHsmToken::modulePath()};

    void SetUp() override {
        auto identity = card.identity();
        identity.apiKey = kKey;
        session.setIdentity(identity);
        session.setPin(card.pin());
        session.setSigner(&signer);
    }
    InquiryResult fetch(ParameterValues params = {{"documentId", "00123"}, {"eik", "123456789"}}) {
        return RestResultExecutor::fetch(session, params);
    }
};

TEST_F(ResultFetchTest, MetadataOfAResultAlwaysFromProduction) {
    ScopedEnv testEndpoints("TAVO_USE_TEST_ENDPOINTS", "1");
    InquiryResult r = fetch();
    EXPECT_EQ(meta(r, "status"), "ok") << meta(r, "error");
    EXPECT_EQ(meta(r, "error"), "<absent>");
    EXPECT_EQ(meta(r, "rawBodyUrl"), "https://api.nra.bg/declaration/api-declarations/result");
    EXPECT_EQ(meta(r, "rawBodyContentType"), "text/html; charset=utf-8");
    EXPECT_EQ(meta(r, "rawBody"), RestApiStandIn::defaultResultHtml());
    EXPECT_EQ(meta(r, "documentId"), "123");
    EXPECT_EQ(meta(r, "incomeNumber"), RestApiStandIn::kEntryNumber);
    EXPECT_EQ(meta(r, "submittedAt"), RestApiStandIn::kEntryDate);
    EXPECT_TRUE(r.columns.empty());
    EXPECT_TRUE(r.rows.empty());

    auto sent = api.results();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(json::parse(meta(r, "rawJson"))["documentId"], "123");
    EXPECT_EQ(sent[0].header("Host"), "api.nra.bg");
    EXPECT_EQ(sent[0].header("Authorization"), std::string("Bearer ") + kKey);
    json body = json::parse(sent[0].body);
    EXPECT_EQ(body["documentId"], 123);
    EXPECT_EQ(body["taxpayerPin"], "123456789");
    EXPECT_EQ(body["taxpayerPinType"], "BUS_BULSTAT");
    EXPECT_EQ(body["userPin"], "123456789");
    EXPECT_EQ(body["userPinType"], "BUS_BULSTAT");
    EXPECT_EQ(b64::decode(body["userSignatureBase64"].get<std::string>()), card.key().cert.certDer);
}

TEST_F(ResultFetchTest, TaxpayerTypeFromTheListOrTheDigits) {
    ASSERT_TRUE(session.login()) << session.lastError();
    portal.setTaxpayers({{"Фирма", "5550001112", "IND_LNCH", 4100000005, "TP-5"}});
    struct Case {
        const char* eik;
        const char* type;
    };
    for (const Case& c : {Case{"5550001112", "IND_LNCH"},
                          {"111222333", "BUS_BULSTAT"},
                          {"1112223334", "IND_EGN"},
                          {"11122233344", "UNKNOWN"},
                          {"111222333444", "UNKNOWN"},
                          {"1112223334445", "IND_BULSTAT"},
                          {"BG11122233", "UNKNOWN"}}) {
        SCOPED_TRACE(c.eik);
        fetch({{"documentId", "1"}, {"eik", c.eik}});
        auto sent = api.results();
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(json::parse(sent.back().body)["taxpayerPinType"], c.type);
    }
}

TEST_F(ResultFetchTest, AnswersBecomeStatusAndDocuments) {
    const std::string cp1251Html =
        "<p>\xc4\xe5\xea\xeb\xe0\xf0\xe0\xf6\xe8\xff\xf2\xe0 \xe5 \xef\xf0\xe8\xe5\xf2\xe0</p>";
    const std::string readable = "<p>Декларацията е приета</p>";
    struct Case {
        const char* name;
        Reply reply;
        const char* status;
        std::string error;
        std::string rawBody;
        std::string contentType;
        std::string documentId;
    };
    const std::string html = "<b>ok</b>";
    const Case cases[] = {
        {"full info first",
         Reply::json(json{{"documentId", "123"},
                          {"base64FullHtmlResultInfo", encode("<full/>")},
                          {"base64HtmlResult", encode(html)},
                          {"base64Result", encode("plain")}}
                         .dump()),
         "ok", "<absent>", "<full/>", "text/html; charset=utf-8", "123"},
        {"plain only", Reply::json(json{{"documentId", "123"}, {"base64Result", encode("приета")}}.dump()), "ok",
         "<absent>", "приета", "text/plain; charset=utf-8", "123"},
        {"windows-1251 document",
         Reply::json(json{{"documentId", "123"}, {"base64HtmlResult", encode(cp1251Html)}}.dump()), "ok", "<absent>",
         readable, "text/html; charset=utf-8", "123"},
        {"id without document", Reply::json(R"({"documentId":123})"), "ok", "<absent>", "<absent>",
         "text/html; charset=utf-8", "123"},
        {"document without id", Reply::json(json{{"base64HtmlResult", encode(html)}}.dump()), "ok", "<absent>", html,
         "text/html; charset=utf-8", "<absent>"},
        {"nothing useful", Reply::json("{}"), "error",
         "Отговорът на НАП не съдържа номер на документ, резултат или съобщение за грешка.", "<absent>",
         "text/html; charset=utf-8", "<absent>"},
        {"id that names nothing", Reply::json(R"({"documentId":false,"entryNumber":"1"})"), "error",
         "Отговорът на НАП не съдържа номер на документ, резултат или съобщение за грешка.", "<absent>",
         "text/html; charset=utf-8", "<absent>"},
        {"array", Reply::json("[]"), "error",
         "Отговорът на НАП не съдържа номер на документ, резултат или съобщение за грешка.", "<absent>",
         "text/html; charset=utf-8", "<absent>"},
        {"agency error", Reply::json(R"({"documentId":"123","errorMessage":"Не е намерен"})"), "error", "Не е намерен",
         "<absent>", "text/html; charset=utf-8", "<absent>"},
        {"500", Reply::text("boom", 500), "error", "HTTP 500 — boom", "<absent>", "text/html; charset=utf-8",
         "<absent>"},
        {"404 empty", Reply::text("", 404), "error", "HTTP 404", "<absent>", "text/html; charset=utf-8", "<absent>"},
        {"another document", Reply::json(json{{"documentId", "124"}, {"base64HtmlResult", encode(html)}}.dump()),
         "error", "Отговорът на НАП е за документ 124, а беше поискан документ 00123.", "<absent>",
         "text/html; charset=utf-8", "<absent>"},
        {"another alphabet", Reply::json(json{{"documentId", "123"}, {"base64HtmlResult", "PGI-PC9iPg=="}}.dump()),
         "error",
         "Резултатът в отговора на НАП (base64HtmlResult) не е във формат Base64: недопустим знак на позиция 4.",
         "<absent>", "text/html; charset=utf-8", "<absent>"},
        {"line breaks and padding",
         Reply::json(json{{"documentId", "123"}, {"base64HtmlResult", "PGI+\r\nPC9i\nPg=="}}.dump()), "ok", "<absent>",
         "<b></b>", "text/html; charset=utf-8", "123"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        api.setResultReply(c.reply);
        InquiryResult r = fetch();
        EXPECT_EQ(meta(r, "status"), c.status);
        EXPECT_EQ(meta(r, "error"), c.error);
        EXPECT_EQ(meta(r, "rawBody"), c.rawBody);
        EXPECT_EQ(meta(r, "rawBodyContentType"), c.contentType);
        EXPECT_EQ(meta(r, "documentId"), c.documentId);
        EXPECT_EQ(meta(r, "rawJson"), c.reply.body.empty() ? "<absent>" : c.reply.body);
    }

    // An error page in Windows-1251 is kept readable in rawJson.
    api.setResultReply(Reply::text(cp1251Html, 502));
    InquiryResult page = fetch();
    EXPECT_EQ(meta(page, "rawJson"), readable);
    EXPECT_TRUE(tavo::core::common::utf8::isValid(meta(page, "error")));

    api.setResultReply(RestApiStandIn::dropped());
    InquiryResult dropped = fetch();
    EXPECT_EQ(meta(dropped, "status"), "error");
    EXPECT_EQ(meta(dropped, "error").rfind("transport: ", 0), 0u) << meta(dropped, "error");
}

TEST_F(ResultFetchTest, PreconditionsSendNothing) {
    struct Case {
        const char* name;
        ParameterValues params;
        std::function<void(NapSession&)> change;
        const char* error;
    };
    auto identityWith = [](auto edit) {
        return [edit](NapSession& s) {
            auto id = s.identity();
            edit(id);
            s.setIdentity(id);
        };
    };
    const Case cases[] = {
        {"no documentId", {{"eik", "1"}}, nullptr, "documentId е задължителен"},
        {"empty eik", {{"documentId", "1"}, {"eik", ""}}, nullptr, "eik е задължителен"},
        {"no signer", {}, [](NapSession& s) { s.setSigner(nullptr); }, "Няма наличен signer на сесията."},
        {"no certificate", {}, identityWith([](auto& id) { id.certificateId.clear(); }), "Не е избран КЕП сертификат."},
        {"no key", {}, identityWith([](auto& id) { id.apiKey.clear(); }), "Не е зададен API ключ."},
        {"unknown certificate",
         {},
         identityWith([](auto& id) { id.certificateId = "4242:ABCDEF"; }),
         "Неуспешен прочит на сертификата за API ключа."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        if (c.change) c.change(session);
        InquiryResult r = c.params.empty() ? fetch() : fetch(c.params);
        EXPECT_EQ(meta(r, "status"), "error");
        EXPECT_EQ(meta(r, "error"), c.error);
        EXPECT_EQ(meta(r, "rawBodyUrl"), "<absent>");
    }
    EXPECT_EQ(api.journal().size(), 0u);
}

TEST(RestResultAnswer, EveryValueIsUtf8) {
    tavo::core::infra::http::SendDeclarationResponse answer;
    answer.httpStatus = 200;
    answer.documentId = "1";
    answer.base64Result = encode("\xff\xfe\x98 text");
    answer.rawBody = "{\"x\":\"\xc0\"}";
    InquiryResult r = tavo::core::operations::readRestResult(answer, "https://api.nra.bg/\xff", "1");
    EXPECT_EQ(meta(r, "status"), "ok");
    for (const auto& [key, value] : r.metadata) EXPECT_TRUE(tavo::core::common::utf8::isValid(value)) << key;
}

TEST(RestResultAnswer, DocumentIdsCompareAsTheRequestCarriedThem) {
    struct Case {
        const char* asked;
        const char* answered;
        bool same;
    };
    for (const Case& c : {Case{"00123", "123", true},
                          {"123", "0123", true},
                          {" 42", "42", true},
                          {"42abc", "42", true},  // the request carried 42
                          {"ABC-1", "ABC-1", true},
                          {"123", "1234", false},
                          {"123", "123abc", false},
                          {"ABC-1", "abc-1", false},
                          {"18446744073709551616", "18446744073709551616", true}}) {  // beyond 64 bits: as text
        SCOPED_TRACE(std::string(c.asked) + " / " + c.answered);
        tavo::core::infra::http::SendDeclarationResponse answer;
        answer.httpStatus = 200;
        answer.documentId = c.answered;
        InquiryResult r = tavo::core::operations::readRestResult(answer, "https://api.nra.bg/r", c.asked);
        EXPECT_EQ(meta(r, "status"), c.same ? "ok" : "error") << meta(r, "error");
    }
}

}  // namespace
