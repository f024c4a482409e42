#include "infrastructure/http/NapRestSubmitter.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <limits>

#include <nlohmann/json.hpp>

#include "common/Base64.h"
#include "domain/NapSession.h"
#include "infrastructure/signing/SignerMac.h"
#include "infrastructure/signing/SignerPkcs11.h"
#include "platform/Keychain.h"
#include "support/CmsCheck.h"
#include "support/FaultModule.h"
#include "support/KeychainTestSupport.h"
#include "support/LogCapture.h"
#include "support/PortalCard.h"
#include "support/PortalStandIn.h"
#include "support/RestApiStandIn.h"

namespace {

using namespace tavo::core::infra::http;
using tavo::core::domain::DocumentType;
using tavo::core::domain::FileDocumentType;
using tavo::core::domain::FileType;
using tavo::core::domain::NapSession;
using tavo::core::operations::ParameterValues;
using tavo::core::operations::SubmissionResult;
using tavo::signing::SignerMac;
using tavo::signing::SignerPkcs11;
using tavo::test::FaultModule;
using tavo::test::LogCapture;
using tavo::test::PortalCard;
using tavo::test::PortalStandIn;
using tavo::test::RecordedRequest;
using tavo::test::RestApiStandIn;
using tavo::test::SoftHsmToken;
using tavo::test::TempDir;
using tavo::test::verifyDetachedCms;
using tavo::test::writeFile;
using json = nlohmann::json;
namespace b64 = tavo::core::common::base64;

constexpr const char* kKey = "rest-api-key-4f1d";
const NapRestSubmitter::Config kEtz62{DocumentType::DEC_ETZ62, FileDocumentType::DEC_ETZ62, FileType::XML, false};
const NapRestSubmitter::Config kDec16{DocumentType::DEC_1_6, FileDocumentType::UNKNOWN, FileType::TXT, true};

std::vector<uint8_t> decoded(const json& text) {
    return b64::decode(text.get<std::string>());
}

std::vector<std::string> memberNames(const json& object) {
    std::vector<std::string> names;
    for (auto it = object.begin(); it != object.end(); ++it) names.push_back(it.key());
    return names;
}

struct SubmitterTest : ::testing::Test {
    PortalCard card;  // the token exists before the signer loads the module
    PortalStandIn portal;
    RestApiStandIn api;
    NapSession session;
    SignerPkcs11 signer{SoftHsmToken::modulePath()};
    TempDir dir{"tavo-rest-files"};

    void SetUp() override {
        auto identity = card.identity();
        identity.apiKey = kKey;
        session.setIdentity(identity);
        session.setPin(card.pin());
        ASSERT_TRUE(signer.warmUp(card.key().certificateId, card.pin()));
    }

    NapRestSubmitter submitter(NapRestSubmitter::Config config, const std::string& key = kKey) {
        return submitterWith(signer, config, key);
    }
    NapRestSubmitter submitterWith(tavo::signing::ISigner& with, NapRestSubmitter::Config config,
                                   const std::string& key = kKey) {
        return NapRestSubmitter(session, with, RestApiStandIn::productionSubmitUrl(),
                                RestApiStandIn::productionResultUrl(), key, config);
    }
    std::string file(const std::string& name, const std::string& content) {
        writeFile(dir / name, content);
        return (dir / name).string();
    }
    json lastBody() {
        auto sent = api.submits();
        return sent.empty() ? json() : json::parse(sent.back().body);
    }
    // Each file's signature verified by openssl against the content sent beside it.
    void expectFilesVerify(const json& body) {
        for (const json& f : body["files"]) {
            auto verdict = verifyDetachedCms(decoded(f["base64EncodedPkcs7"]), decoded(f["fileContentBase64"]));
            EXPECT_TRUE(verdict.verified) << f["fileName"] << ": " << verdict.output;
        }
    }
};

TEST_F(SubmitterTest, Etz62FileEndToEnd) {
    const std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><notification><name>Тест</name></notification>\n";
    const std::string path = file("etz62 уведомление.xml", xml);
    NapRestSubmitter s = submitter(kEtz62);
    SubmissionResult result = s.submit(path, ParameterValues{{"eik", "123456789"}});
    ASSERT_TRUE(result.success) << result.errorMessage;
    EXPECT_EQ(result.documentId, "9001");
    EXPECT_EQ(result.incomeNumber, RestApiStandIn::kEntryNumber);
    EXPECT_EQ(result.submissionDate, RestApiStandIn::kEntryDate);
    EXPECT_EQ(result.errorMessage, "");

    auto sent = api.submits();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].header("Host"), "api.nra.bg");
    EXPECT_EQ(sent[0].header("Authorization"), std::string("Bearer ") + kKey);
    json body = json::parse(sent[0].body);
    EXPECT_EQ(memberNames(body),
              (std::vector<std::string>{"files", "insuranceFund", "serviceDocumentType", "taxpayerPin",
                                        "taxpayerPinType", "userPin", "userPinType", "userSignatureBase64"}));
    EXPECT_EQ(body["serviceDocumentType"], "DEC_ETZ62");
    EXPECT_EQ(body["insuranceFund"], 0);
    EXPECT_EQ(body["taxpayerPin"], "123456789");
    EXPECT_EQ(body["taxpayerPinType"], "BUS_BULSTAT");  // the sender's own type
    EXPECT_EQ(body["userPin"], "123456789");
    EXPECT_EQ(body["userPinType"], "BUS_BULSTAT");
    EXPECT_EQ(decoded(body["userSignatureBase64"]), card.key().cert.certDer);
    ASSERT_EQ(body["files"].size(), 1u);
    const json& f = body["files"][0];
    EXPECT_EQ(memberNames(f), (std::vector<std::string>{"base64EncodedPkcs7", "fileContentBase64", "fileDocumentType",
                                                        "fileName", "fileSize", "fileType", "numRecords"}));
    EXPECT_EQ(f["fileName"], "etz62 уведомление.xml");
    EXPECT_EQ(f["fileDocumentType"], "DEC_ETZ62");
    EXPECT_EQ(f["fileType"], "xml");
    EXPECT_EQ(f["fileSize"], xml.size());
    EXPECT_EQ(f["numRecords"], 0);
    EXPECT_EQ(decoded(f["fileContentBase64"]), std::vector<uint8_t>(xml.begin(), xml.end()));
    expectFilesVerify(body);
    // The sender's own company: the portal was not asked.
    EXPECT_EQ(portal.journal().size(), 0u);

    // The same submitter serves a second filing with its address and key.
    SubmissionResult again = s.submit(path, ParameterValues{{"eik", "123456789"}});
    ASSERT_TRUE(again.success) << again.errorMessage;
    EXPECT_EQ(again.documentId, "9002");
    sent = api.submits();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].header("Authorization"), std::string("Bearer ") + kKey);
    EXPECT_EQ(sent[1].header("Host"), "api.nra.bg");
}

TEST_F(SubmitterTest, Declaration16SetEndToEnd) {
    ASSERT_TRUE(session.login()) << session.lastError();
    // Ten digits would read as a personal number; the portal's list knows better.
    portal.setTaxpayers({{"Чужденец", "1234567890", "IND_LNCH", 4100000009, "TP-9"}});
    const std::string dec1 = "0001|ИВАНОВ|12\r\n0002|ПЕТРОВ|13\r\n";
    const std::string dec6 = "6|2024|03|100.00\r\n";
    std::vector<NapRestSubmitter::FileInput> files = {
        {file("DEC1.TXT", dec1), static_cast<int32_t>(FileDocumentType::DEC_1), 2, {}},
        {file("DEC6.TXT", dec6), static_cast<int32_t>(FileDocumentType::DEC_6), 1, {}},
    };
    SubmissionResult result = submitter(kDec16).submit(
        files, ParameterValues{{"eik", "1234567890"}, {"month", "3.000000"}, {"year", "2024"}, {"fund", "1"}});
    ASSERT_TRUE(result.success) << result.errorMessage;

    json body = lastBody();
    EXPECT_EQ(body["serviceDocumentType"], "DEC_1_6");
    EXPECT_EQ(body["taxpayerPin"], "1234567890");
    EXPECT_EQ(body["taxpayerPinType"], "IND_LNCH");
    EXPECT_EQ(body["taxPeriodFrom"], "03");
    EXPECT_EQ(body["taxPeriodTo"], "03");
    EXPECT_EQ(body["year"], "2024");
    EXPECT_EQ(body["insuranceFund"], 1);
    ASSERT_EQ(body["files"].size(), 2u);
    struct Expected {
        const char* name;
        const char* form;
        int records;
        const std::string& content;
    };
    const Expected expected[] = {{"DEC1.TXT", "DEC_1", 2, dec1}, {"DEC6.TXT", "DEC_6", 1, dec6}};
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(expected[i].name);
        const json& f = body["files"][i];
        EXPECT_EQ(f["fileName"], expected[i].name);
        EXPECT_EQ(f["fileDocumentType"], expected[i].form);
        EXPECT_EQ(f["numRecords"], expected[i].records);
        EXPECT_EQ(f["fileType"], "txt");
        EXPECT_EQ(f["fileSize"], expected[i].content.size());
        auto content = decoded(f["fileContentBase64"]);
        EXPECT_EQ(std::string(content.begin(), content.end()), expected[i].content);
    }
    expectFilesVerify(body);
    EXPECT_EQ(decoded(body["userSignatureBase64"]), card.key().cert.certDer);
}

TEST_F(SubmitterTest, PeriodFundAndTaxpayerRules) {
    struct Case {
        const char* name;
        ParameterValues params;
        json from, to, year;  // null: member absent
        int fund;
        const char* taxpayerPin;
        const char* taxpayerPinType;
    };
    const json none;
    const Case cases[] = {
        {"month only", {{"month", "3"}}, "03", "03", none, 0, "123456789", "BUS_BULSTAT"},
        {"from only", {{"taxPeriodFrom", "2024-01"}}, "2024-01", none, none, 0, "123456789", "BUS_BULSTAT"},
        {"both given",
         {{"taxPeriodFrom", "a"}, {"taxPeriodTo", "b"}, {"month", "5"}},
         "a",
         "b",
         none,
         0,
         "123456789",
         "BUS_BULSTAT"},
        {"month replaces one",
         {{"taxPeriodFrom", "x"}, {"month", "11.000000"}},
         "11",
         "11",
         none,
         0,
         "123456789",
         "BUS_BULSTAT"},
        {"month 13", {{"taxPeriodTo", "q"}, {"month", "13"}}, none, "q", none, 0, "123456789", "BUS_BULSTAT"},
        {"month text",
         {{"month", "март"}, {"year", "2023.000000"}},
         none,
         none,
         "2023.000000",
         0,
         "123456789",
         "BUS_BULSTAT"},
        {"fund TRUE", {{"fund", "TRUE"}}, none, none, none, 0, "123456789", "BUS_BULSTAT"},
        {"fund true", {{"fund", "true"}}, none, none, none, 1, "123456789", "BUS_BULSTAT"},
        {"nine digits elsewhere", {{"eik", "111222333"}}, none, none, none, 0, "111222333", "BUS_BULSTAT"},
        {"twelve digits", {{"eik", "111222333444"}}, none, none, none, 0, "111222333444", "UNKNOWN"},
        {"thirteen digits", {{"taxpayerPin", "1112223334445"}}, none, none, none, 0, "1112223334445", "IND_BULSTAT"},
        {"not digits", {{"eik", "BG111222333"}}, none, none, none, 0, "BG111222333", "UNKNOWN"},
        {"empty eik wins", {{"eik", ""}, {"taxpayerPin", "111222333"}}, none, none, none, 0, "", "UNKNOWN"},
    };
    const std::string path = file("one.txt", "data");
    NapRestSubmitter s = submitter(kDec16);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SubmissionResult result = s.submit(path, c.params);
        ASSERT_TRUE(result.success) << result.errorMessage;
        json body = lastBody();
        EXPECT_EQ(body.value("taxPeriodFrom", json()), c.from);
        EXPECT_EQ(body.value("taxPeriodTo", json()), c.to);
        EXPECT_EQ(body.value("year", json()), c.year);
        EXPECT_EQ(body["insuranceFund"], c.fund);
        EXPECT_EQ(body["taxpayerPin"], c.taxpayerPin);
        EXPECT_EQ(body["taxpayerPinType"], c.taxpayerPinType);
    }
    // Without the period rule the period parameters are not read at all.
    ASSERT_TRUE(submitter(kEtz62).submit(path, {{"month", "3"}, {"year", "2024"}}).success);
    json body = lastBody();
    EXPECT_FALSE(body.contains("taxPeriodFrom"));
    EXPECT_FALSE(body.contains("year"));
}

TEST_F(SubmitterTest, FailuresSendNothing) {
    const std::string good = file("good.xml", "<a/>");
    const std::string empty = file("empty.xml", "");
    const std::string missing = (dir / "missing.xml").string();
    const std::string folder = dir.str();
    const std::string badName = (dir / "\xff\xfe.xml").string();
    writeFile(badName, "<a/>");
    // A FIFO nobody writes to: opening it to read must not wait for a writer.
    const std::string fifo = (dir / "fifo.xml").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string dangling = (dir / "dangling.xml").string();
    std::filesystem::create_symlink(dir / "nowhere.xml", dangling);
    using Files = std::vector<NapRestSubmitter::FileInput>;
    auto one = [](const std::string& path, std::vector<uint8_t> bytes = {}) {
        return NapRestSubmitter::FileInput{path, 7, 0, std::move(bytes)};
    };
    struct Case {
        const char* name;
        Files files;
        std::string error;
    };
    const Case cases[] = {
        {"no files", {}, "No files to submit"},
        {"second missing", {one(good), one(missing)}, "File not found: " + missing},
        {"empty path", {one("")}, "File not found: "},
        {"folder", {one(folder)}, "Cannot read file or file is empty: " + folder},
        {"empty file", {one(empty)}, "Cannot read file or file is empty: " + empty},
        {"FIFO", {one(fifo)}, "Cannot read file or file is empty: " + fifo},
        {"link leading nowhere", {one(dangling)}, "File not found: " + dangling},
        {"bytes for a missing path", {one(missing, {1, 2})}, "File not found: " + missing},
        {"name not UTF-8",
         {one(good), one(badName)},
         "File name is not valid UTF-8: " + dir.str() + "/\uFFFD\uFFFD.xml"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SubmissionResult result = submitter(kEtz62).submit(c.files, {});
        EXPECT_FALSE(result.success);
        EXPECT_EQ(result.errorMessage, c.error);
    }
    EXPECT_EQ(api.journal().size(), 0u);

    SubmissionResult noKey = submitter(kEtz62, "").submit(good, {});
    EXPECT_EQ(noKey.errorMessage, "Няма зададен API ключ.");
    EXPECT_EQ(api.journal().size(), 0u);

    auto identity = session.identity();
    identity.certificateId.clear();
    session.setIdentity(identity);
    EXPECT_EQ(submitter(kEtz62).submit(good, {}).errorMessage, "No certificate selected");
    EXPECT_EQ(api.journal().size(), 0u);
}

TEST_F(SubmitterTest, CallerBytesAreTheBytesSignedAndSent) {
    const std::string path = file("on-disk.xml", "<disk/>");
    std::vector<uint8_t> given = {'<', 'm', 'e', 'm', '/', '>'};
    SubmissionResult result = submitter(kEtz62).submit({{path, 8, 4, given}}, {});
    ASSERT_TRUE(result.success) << result.errorMessage;
    json body = lastBody();
    EXPECT_EQ(decoded(body["files"][0]["fileContentBase64"]), given);
    EXPECT_EQ(body["files"][0]["fileDocumentType"], "DEC_ETZ123");
    EXPECT_EQ(body["files"][0]["numRecords"], 4);
    expectFilesVerify(body);
}

TEST_F(SubmitterTest, AgencyRefusalComesBackAsTheError) {
    api.setSubmitReply(tavo::test::Reply::json(R"({"errorMessage":"Файлът не отговаря на схемата"})"));
    SubmissionResult result = submitter(kEtz62).submit(file("x.xml", "<x/>"), {});
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.errorMessage, "Файлът не отговаря на схемата");
    EXPECT_EQ(result.documentId, "");
}

TEST_F(SubmitterTest, NumbersTheRequestCannotCarryAreRefusedBeforeSigning) {
    // A sparse file: a size of 4 GiB costs no disk and is never read.
    const std::string small = file("small.xml", "<a/>"), big = file("big\nfile.xml", "");
    std::filesystem::resize_file(big, uintmax_t{1} << 32);
    using Input = NapRestSubmitter::FileInput;
    struct Case {
        const char* name;
        std::vector<Input> files;
        std::string error;
        std::string logged;
    };
    const Case cases[] = {
        {"second file of 4 GiB",
         {{small, 7, 0, {}}, {big, 7, 0, {}}},
         "File too large to submit (4 GiB or more): " + big,
         "[WARN ] NapRestSubmitter: file of 4294967296 bytes refused: " + dir.str() + "/big\\x0Afile.xml"},
        {"negative record count",
         {{small, 1, 2, {}}, {small, 6, std::numeric_limits<int32_t>::min(), {}}},
         "Record count out of range (-2147483648): " + small,
         "[WARN ] NapRestSubmitter: record count -2147483648 refused for " + small},
    };
    FaultModule fault;  // counts the signatures the card was asked for
    SignerPkcs11 counted(FaultModule::path());
    ASSERT_TRUE(counted.warmUp(card.key().certificateId, card.pin()));
    const unsigned long signaturesBefore = fault.count("C_Sign");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        SubmissionResult result = submitterWith(counted, kDec16).submit(c.files, {});
        EXPECT_FALSE(result.success);
        EXPECT_EQ(result.errorMessage, c.error);
        EXPECT_TRUE(log.contains(c.logged)) << log.text();
    }
    EXPECT_EQ(fault.count("C_Sign"), signaturesBefore);
    EXPECT_EQ(api.journal().size(), 0u);

    // The largest count the request can carry goes out as it is.
    SubmissionResult result = submitterWith(counted, kDec16).submit({{small, 1, 2147483647, {}}}, {});
    ASSERT_TRUE(result.success) << result.errorMessage;
    EXPECT_EQ(lastBody()["files"][0]["numRecords"], 2147483647);
}

TEST_F(SubmitterTest, SigningThatFailsSendsNothing) {
    const std::string path = file("decl.xml", "<decl/>");

    // The user cancels the keychain's signing prompt: the signer throws.
    auto soft = tavo::test::TestPki::instance().issueClient("Keychain Holder");
    auto identity = session.identity();
    identity.certificateId = tavo::test::keychainId(tavo::test::importKeychainIdentity(soft));
    session.setIdentity(identity);
    SignerMac keychainSigner;
    {
        tavo::test::ScopedKeychainFailure cancel(tavo::platform::keychain::Operation::CreateSignature,
                                                 tavo::platform::keychain::kStatusUserCanceled);
        SubmissionResult result = submitterWith(keychainSigner, kEtz62).submit(path, {});
        EXPECT_FALSE(result.success);
        EXPECT_EQ(result.errorMessage, "Signing failed: Подписването беше отказано.");
    }

    // The card refuses the signature itself: the signer answers no bytes.
    session.setIdentity(card.identity());
    FaultModule fault;
    SignerPkcs11 refusing(FaultModule::path());
    ASSERT_TRUE(refusing.warmUp(card.key().certificateId, card.pin()));
    fault.inject("TAVO_FAULT_SIGN_LENGTH_RV", "0x5");
    SubmissionResult result = submitterWith(refusing, kEtz62).submit(path, {});
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.errorMessage, "Empty signature (user may have cancelled)");
    EXPECT_GT(fault.count("C_Sign"), 0u);

    EXPECT_EQ(api.journal().size(), 0u);
}

TEST_F(SubmitterTest, FiledDeclarationIsLoggedWithItsFilesOnOneLine) {
    LogCapture log;
    const std::string forged = file("a.xml\n2099-01-01 00:00:00 [ERROR] forged.xml", "<a/>");
    SubmissionResult result =
        submitter(kDec16).submit({{file("DEC1.TXT", "1|x\r\n"), 1, 1, {}}, {forged, 6, 1, {}}}, {});
    ASSERT_TRUE(result.success) << result.errorMessage;
    EXPECT_TRUE(log.contains("[INFO ] NapRestSubmitter: filed as document " + result.documentId +
                             ": DEC1.TXT, a.xml\\x0A2099-01-01 00:00:00 [ERROR] forged.xml\n"))
        << log.text();
    EXPECT_FALSE(log.contains("\n2099-01-01 00:00:00 [ERROR] forged")) << log.text();
}

}  // namespace
