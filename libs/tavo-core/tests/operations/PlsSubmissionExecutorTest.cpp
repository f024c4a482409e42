#include "operations/PlsSubmissionExecutor.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <algorithm>

#include "InMemorySettingsProvider.h"
#include "TavoEngine.h"
#include "common/Utf8.h"
#include "domain/NapSession.h"
#include "infrastructure/parsing/HtmlUtils.h"
#include "infrastructure/signing/SignerPkcs11.h"
#include "operations/OperationRegistry.h"
#include "support/FaultModule.h"
#include "support/PlsFormStandIn.h"
#include "support/PlsTestSubmission.h"
#include "support/PortalCard.h"
#include "support/PortalStandIn.h"
#include "support/ScopedTimeZone.h"
#include "support/SoftHsmToken.h"
#include "support/TempDir.h"

namespace {

using namespace tavo::core::operations;
using tavo::core::domain::NapSession;
using tavo::signing::SignerPkcs11;
using tavo::test::PlsFormStandIn;
using tavo::test::PlsTestSubmission;
using tavo::test::PortalCard;
using tavo::test::PortalStandIn;
using tavo::test::Reply;
using tavo::test::SoftHsmToken;
using tavo::test::TempDir;

std::vector<uint8_t> bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

const std::string kUnknownOutcome =
    "Връзката с НАП прекъсна и отговорът на подаването не беше получен. НАП може да е получила декларацията: "
    "проверете списъка с подадените документи, преди да я подадете отново.";

// The local minute now, as the listing's dates are compared.
std::string localMinute(std::time_t when, const char* format = "%Y-%m-%dT%H:%M") {
    std::tm local{};
    localtime_r(&when, &local);
    char buf[32];
    std::strftime(buf, sizeof buf, format, &local);
    return buf;
}

// The wall clock in Sofia, the listing's zone, read from the tz database.
std::string sofiaMinute(std::time_t when, const char* format) {
    tavo::test::ScopedTimeZone zone("Europe/Sofia");
    return tavo::test::wallClock(when, format);
}

// An HTTP Date value (IMF-fixdate), whatever the process locale.
std::string httpDate(std::time_t when) {
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm utc{};
    gmtime_r(&when, &utc);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[utc.tm_wday], utc.tm_mday,
                  months[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return buf;
}

// ---- Pure pieces ---------------------------------------------------------

TEST(LineEnds, EveryEndBecomesCrLf) {
    struct Case {
        std::string in, out;
    };
    for (const Case& c : {Case{"", ""},
                          {"a", "a"},
                          {"a\nb", "a\r\nb"},
                          {"a\rb", "a\r\nb"},
                          {"a\r\nb", "a\r\nb"},
                          {"a\r", "a\r\n"},
                          {"\n\r", "\r\n\r\n"},
                          {"\r\r\n\n", "\r\n\r\n\r\n"},
                          {"\xEF\xBB\xBFx\ny", "x\r\ny"},
                          {"\xEF\xBB\xBF", ""},
                          {"\xEF\xBB", "\xEF\xBB"},
                          {"x\xEF\xBB\xBF\n", "x\xEF\xBB\xBF\r\n"},
                          {"\xEF\xBB\xBF\r", "\r\n"}}) {
        SCOPED_TRACE(c.in);
        auto b = bytes(c.in);
        upload::normaliseLineEnds(b);
        EXPECT_EQ(std::string(b.begin(), b.end()), c.out);
    }
}

TEST(LineEnds, MixedEqualsCrLfEverywhere) {
    std::string mixed = "\xEF\xBB\xBF\xC4\xE5\xEA\xEB\xE0\xF0\xE0\xF6\xE8\xFF\n1;2\r3;4\r\n5;6\n";
    std::string crlf = "\xC4\xE5\xEA\xEB\xE0\xF0\xE0\xF6\xE8\xFF\r\n1;2\r\n3;4\r\n5;6\r\n";
    auto a = bytes(mixed), b = bytes(crlf);
    upload::normaliseLineEnds(a);
    upload::normaliseLineEnds(b);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, bytes(crlf));
}

TEST(Verdict, PagesAndStatuses) {
    const std::string unknown = "Неразпознат отговор от НАП (без pid и без съобщение).";
    struct Case {
        int status;
        std::string body;
        bool success;
        std::string documentId;
        std::string error;
    };
    for (const Case& c : std::vector<Case>{
             {200, "<p>Документът е приет успешно.</p> pid=42", true, "42", ""},
             {200, "<p>УСПЕШНО</p>", true, "", ""},
             {201, "<b>Приет</b>", true, "", ""},
             {200, "Success", true, "", ""},
             {200, "<a href='?PID: \"12345\"'>x</a>", true, "12345", ""},
             {200, "<h1>Успешно</h1><p>Грешка в ред 3</p>", false, "", "Успешно Грешка в ред 3"},
             {200, "<p>ERROR</p> pid=5", false, "5", "ERROR pid=5"},
             {200, "<p>ГРЕШКА</p>", false, "", "ГРЕШКА"},
             {200, "<p>нищо</p>", false, "", unknown},
             {299, "", false, "", unknown},
             {302, "", false, "", "HTTP 302 при подаване към НАП"},
             {500, "<html><body><h1>Internal</h1> error </body></html>", false, "",
              "HTTP 500 при подаване към НАП: Internal error"},
             {500, "<br/>", false, "", "HTTP 500 при подаване към НАП"},
             {0, "", false, "", kUnknownOutcome},
             {404, "pid=7 успешно", false, "", "HTTP 404 при подаване към НАП: pid=7 успешно"},
             // Refusals whose wording holds an acceptance word.
             {200, "<p>Upload unsuccessful.</p> pid=5", false, "5", "Upload unsuccessful. pid=5"},
             {200, "<p>File NOT ACCEPTED</p>", false, "", "File NOT ACCEPTED"},
             {200, "<p>Декларацията е НЕПРИЕТА</p><SCRIPT type=x>alert('Успешно');</SCRIPT>", false, "",
              "Декларацията е НЕПРИЕТА"},
             {200, "<p>Файлът не&nbsp;е приет</p>", false, "", "Файлът не е приет"},
             {200, "<p>Файлът не\xC2\xA0е\nприет</p>", false, "", "Файлът не е приет"},
             {200, "<p>1 < 2 грешка > 0</p> pid=9", false, "9", "*"},  // a bare "<" hides nothing
             // Acceptances whose markup holds a refusal word.
             {200, "<script src=\"/js/error-reporting.js\"></script><p>Документът е приет.</p> pid=3", true, "3", ""},
             {200, "<style>.error{color:red}</style><p>Приет</p><a href='?pid=4'>x</a>", true, "4", ""},
             {200, "<!-- error handling --><p>Приет</p><!-- грешка", true, "", ""},
             {200, "<p>Приет</p><!-->грешка", false, "", "Приет грешка"},  // an empty comment hides nothing
             {200, "<a title=\"грешка\" data-x='a>error'>Успешно</a>", true, "", ""},
             {200, "<p>Success</p><script>throw new Error()", true, "", ""},
             {200, "<script>var s = 'Успешно';</script><p>Готово</p>", false, "", unknown},
         }) {
        SCOPED_TRACE(std::to_string(c.status) + " " + c.body);
        auto v = upload::readVerdict(c.status, c.body);
        EXPECT_EQ(v.success, c.success);
        EXPECT_EQ(v.documentId, c.documentId);
        if (c.error != "*") {  // "*": not checked
            EXPECT_EQ(v.errorMessage, c.error);
        }
    }
}

TEST(Verdict, LongCyrillicMessageIsCutBetweenLetters) {
    std::string message;
    while (message.size() < 1024) message += "Грешка при обработка на файла ";
    for (int status : {200, 500}) {
        for (size_t shift = 0; shift < 4; ++shift) {
            SCOPED_TRACE(testing::Message() << status << " shift " << shift);
            auto v = upload::readVerdict(status, std::string(shift, 'x') + "<p>" + message + "</p>");
            EXPECT_FALSE(v.success);
            // "HTTP 500 при подаване към НАП: " is 48 bytes.
            EXPECT_LE(v.errorMessage.size(), 400u + (status == 500 ? 48u : 0u));
            EXPECT_GE(v.errorMessage.size(), 390u);
            EXPECT_TRUE(tavo::core::common::utf8::isValid(v.errorMessage));
        }
    }
}

TEST(Verdict, PageCharset) {
    const std::string refusal = "<p>\xC3\xF0\xE5\xF8\xEA\xE0</p>";  // "Грешка" in Windows-1251
    const std::string utf8Refusal = "<p>Грешка</p>";
    const std::string meta = "<head><META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=x-cp1251\"></head>";
    struct Case {
        const char* name;
        std::string body, contentType, expected;
    };
    for (const Case& c : std::vector<Case>{
             {"header", refusal, "text/html; charset=windows-1251", utf8Refusal},
             {"header quoted", refusal, "text/html;Charset=\"CP1251\"", utf8Refusal},
             {"meta http-equiv", meta + refusal, "", meta + utf8Refusal},
             {"undeclared legacy bytes", refusal, "text/html", utf8Refusal},
             {"header wins over meta", "<meta charset=windows-1251>" + utf8Refusal, "text/html; charset=utf-8",
              "<meta charset=windows-1251>" + utf8Refusal},
             {"utf-8 declared, broken byte", "<p>\xC3x</p>", "text/html; charset=utf-8", "<p>\xEF\xBF\xBDx</p>"},
         }) {
        SCOPED_TRACE(c.name);
        std::string page = upload::pageAsUtf8(c.body, c.contentType);
        EXPECT_EQ(page, c.expected);
        EXPECT_TRUE(tavo::core::common::utf8::isValid(page));
    }
}

// Pages built to make a scanner go back over its input: each is read once.
TEST(Verdict, HostileMarkupIsReadInOnePass) {
    for (const std::string unit :
         {"<meta charset ", "<meta a='>", "<a b=", "<script>", "<!--", "charset = ", "<style x=\""}) {
        SCOPED_TRACE(unit);
        std::string page;
        while (page.size() < 4 * 1024 * 1024) page += unit;
        EXPECT_EQ(upload::readVerdict(200, upload::pageAsUtf8(page + "Приет pid=1", "")).documentId, "1");
    }
}

TEST(Verdict, LowerCaseCopyFoldsBasicCyrillicOnly) {
    EXPECT_EQ(upload::lowerCaseCopy("АБВ ПРЯ Ѐ ЁAZ az я"), "абв пря Ѐ Ёaz az я");
    EXPECT_EQ(upload::lowerCaseCopy("\xD0"), "\xD0");
    EXPECT_EQ(upload::lowerCaseCopy("\xE2\x80\x94\xD0\x93"), "\xE2\x80\x94\xD0\xB3");
}

TEST(ChooseRow, AnotherFilingsRowIsNeverTaken) {
    using Rows = std::vector<std::vector<std::string>>;
    const Rows withIds = {{"e", "", "2024", "N1", "03.02.2025 10:20", "111"},
                          {"e", "", "2024", "N2", "03.02.2025 10:20", "222"}};
    struct Case {
        const Rows* rows;
        std::string pid;
        std::optional<size_t> expected;
    };
    const Rows empty;
    for (const Case& c :
         {Case{&withIds, "222", 1}, Case{&withIds, "333", std::nullopt}, Case{&empty, "1", std::nullopt}}) {
        SCOPED_TRACE(c.pid);
        EXPECT_EQ(upload::chooseRow(*c.rows, c.pid, "2025-02-03T10:12"), c.expected);
    }
}

// Without a document id only a row dated at or after the upload's minute may
// be the new filing.
TEST(ChooseRow, WithoutAnIdTheDateDecides) {
    struct Case {
        std::string date;
        bool taken;
    };
    // The upload started at 10:12 on 3 February 2025; the later second row is
    // never considered.
    for (const Case& c : std::vector<Case>{{"03.02.2025 10:12", true},
                                           {" 3.2.2025 10:13:05 ", true},
                                           {"2025-02-03T10:12", true},
                                           {"2025-02-04", true},
                                           {"03.02.2025 10:11:59", false},
                                           {"03.02.2025", false},
                                           {"31.12.2024 23:59", false},
                                           {"", false},
                                           {"днес", false},
                                           {"2025-02-03 9:07", false}}) {
        SCOPED_TRACE(c.date);
        auto chosen =
            upload::chooseRow({{"e", "", "2024", "N1", c.date, "111"}, {"e", "", "2024", "N2", "03.02.2025 10:15", ""}},
                              "", "2025-02-03T10:12");
        EXPECT_EQ(chosen, c.taken ? std::optional<size_t>(0) : std::nullopt);
    }
    EXPECT_EQ(upload::chooseRow({{"e", "", "2024", "N1"}}, "", "2025-02-03T10:12"), std::nullopt);
}

// The upload's start on the portal's clock: its answer's Date less the time
// the upload took here, rounded to the earlier second; this machine's clock
// only without a Date that reads.
TEST(ChooseRow, UploadStartsByThePortalsClock) {
    using std::chrono::milliseconds;
    const std::time_t machineStart = 1738570320;  // 08:12:00 UTC, 10:12 in Sofia
    struct Case {
        const char* date;
        milliseconds took;
        const char* minute;
    };
    for (const Case& c : {Case{"Mon, 03 Feb 2025 06:45:30 GMT", milliseconds(0), "2025-02-03T08:45"},
                          {"Mon, 03 Feb 2025 06:45:30 GMT", milliseconds(30500), "2025-02-03T08:44"},
                          {"", milliseconds(180000), "2025-02-03T10:12"}}) {
        SCOPED_TRACE(c.date);
        EXPECT_EQ(upload::uploadStartMinute(c.date, c.took, machineStart), c.minute);
    }
}

TEST(CookieNames, NamesOnly) {
    std::string jar =
        "# Netscape HTTP Cookie File\n"
        "#HttpOnly_portal.nra.bg\tFALSE\t/\tTRUE\t0\tSESSION\tsecret-value\n"
        "portal.nra.bg\tFALSE\t/\tTRUE\t0\tloggedIn\tdHJ1ZQ==\r\n"
        "\n"
        "portal.nra.bg\tFALSE\t/\tTRUE\t0\t\tnameless\n"
        "broken line\n";
    EXPECT_EQ(upload::cookieNames(jar), (std::vector<std::string>{"SESSION", "loggedIn"}));
}

TEST(ReadFile, OnlyRegularFilesToTheirEnd) {
    TempDir dir("tavo-read");
    tavo::test::writeFile(dir / "f.txt", std::string("abc\0def", 7));
    auto ok = upload::readRegularFile((dir / "f.txt").string());
    ASSERT_TRUE(ok);
    EXPECT_EQ(*ok, bytes(std::string("abc\0def", 7)));
    EXPECT_FALSE(upload::readRegularFile(dir.str()));
    EXPECT_FALSE(upload::readRegularFile((dir / "missing").string()));
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_FALSE(upload::readRegularFile((dir / "fifo").string()));
}

// ---- End to end with the card against the portal stand-in ----------------

struct UploadTest : ::testing::Test {
    PortalCard card;
    PortalStandIn portal;
    PlsFormStandIn forms{portal};
    SignerPkcs11 signer{SoftHsmToken::modulePath()};
    NapSession session;
    TempDir dir{"tavo-upload"};
    PlsTestSubmission op;

    // Windows-1251 text with a byte-order mark and every kind of line end.
    const std::string mixed =
        "\xEF\xBB\xBF\xC4\xE5\xEA\xEB\xE0\xF0\xE0\xF6\xE8\xFF;2024\n"
        "\xC8\xE2\xE0\xED;100.00\r\xCF\xE5\xF2\xFA\xF0;200.00\r\n\xCA\xF0\xE0\xE9\r";
    const std::string normalised =
        "\xC4\xE5\xEA\xEB\xE0\xF0\xE0\xF6\xE8\xFF;2024\r\n"
        "\xC8\xE2\xE0\xED;100.00\r\n\xCF\xE5\xF2\xFA\xF0;200.00\r\n\xCA\xF0\xE0\xE9\r\n";

    void SetUp() override {
        session.setIdentity(card.identity());
        session.setPin(card.pin());
        session.setSigner(&signer);
        tavo::test::writeFile(dir / "decl.txt", mixed);
    }
    std::string file() const { return (dir / "decl.txt").string(); }
    ParameterValues params(const std::string& year = "2024") const { return {{"eik", "123456789"}, {"year", year}}; }
};

TEST_F(UploadTest, AcceptedUploadFindsItsRow) {
    forms.setRows({{"0100-0007", "03.02.2025 10:11", "2024", "", "", "100000"},
                   {"0100-0008", "03.02.2025 10:12", "2024", "", "", "100001"}});
    SubmissionResult r = executePlsSubmission(session, op, file(), params());
    ASSERT_TRUE(r.success) << r.errorMessage;

    auto uploads = forms.uploads();
    ASSERT_EQ(uploads.size(), 1u);
    const auto& u = uploads[0];
    EXPECT_EQ(u.problem, "");
    EXPECT_TRUE(u.gzipHeaderZeroed);
    EXPECT_EQ(u.verifyStatus, 0) << u.verifyOutput;
    EXPECT_EQ(std::string(u.file.begin(), u.file.end()), normalised);
    EXPECT_EQ(u.fields.at("pfilename"), "decl.txt");
    EXPECT_EQ(u.fields.at("pyear"), "2024");
    EXPECT_EQ(u.fields.at("signerId"), "5");
    EXPECT_EQ(u.fields.size(), 5u);

    // The filing went out on a connection of its own, which the transport
    // never resends the way it resends a request on a reused one.
    auto fresh = PortalStandIn::onNewConnections(portal.portal().journal().all());
    EXPECT_TRUE(std::any_of(fresh.begin(), fresh.end(), [&](const tavo::test::RecordedRequest& req) {
        return req.method == "POST" && req.path == forms.uploadPath();
    }));

    EXPECT_EQ(r.documentId, "100001");
    EXPECT_EQ(r.incomeNumber, "0100-0008");
    EXPECT_EQ(r.submissionDate, "03.02.2025 10:12");
    EXPECT_EQ(r.rawBody, PlsFormStandIn::acceptedPage("100001"));
    EXPECT_EQ(r.rawBodyContentType, "text/html; charset=utf-8");
    EXPECT_EQ(r.rawBodyUrl, "https://portal.nra.bg/pls/pub/!DECL55.WEB.upload_file");
    EXPECT_TRUE(r.nativeErrors.empty());

    std::string log = card.logText();
    EXPECT_NE(log.find("PlsSubmissionExecutor: POST https://portal.nra.bg/pls/pub/!DECL55.WEB.upload_file "
                       "(file=decl.txt, year=2024, pdata="),
              std::string::npos);
    EXPECT_NE(log.find("PlsSubmissionExecutor: cookies in jar ["), std::string::npos);
    EXPECT_NE(log.find("matched row income=0100-0008"), std::string::npos);
    for (const auto& issued : portal.issuedSessionIds()) EXPECT_EQ(log.find(issued), std::string::npos);
}

TEST_F(UploadTest, SameFileTwiceGivesTheSamePdata) {
    tavo::test::writeFile(dir / "crlf.txt", normalised);
    ASSERT_TRUE(executePlsSubmission(session, op, file(), params()).success);
    ASSERT_TRUE(executePlsSubmission(session, op, file(), params()).success);
    ASSERT_TRUE(executePlsSubmission(session, op, (dir / "crlf.txt").string(), params()).success);
    auto uploads = forms.uploads();
    ASSERT_EQ(uploads.size(), 3u);
    EXPECT_FALSE(uploads[0].pdata.empty());
    EXPECT_EQ(uploads[0].pdata, uploads[1].pdata);
    EXPECT_EQ(uploads[0].pdata, uploads[2].pdata);
}

// The answer names the new document, the listing does not: a row is taken
// only when dated at or after the upload, as without a pid.
TEST_F(UploadTest, ListingWithoutThePid) {
    const std::string later = sofiaMinute(std::time(nullptr) + 120, "%d.%m.%Y %H:%M");
    struct Case {
        const char* name;
        std::vector<PlsFormStandIn::Row> rows;
        std::string income, date;
    };
    for (const Case& c : std::vector<Case>{
             {"row without id, dated after", {{"0100-0001", later, "2024", "", "", ""}}, "0100-0001", later},
             {"row without id, months old", {{"0100-0001", "01.01.2025", "2024", "", "", ""}}, "", ""},
             {"another filing", {{"0100-0002", later, "2024", "", "", "99"}}, "", ""},
             {"empty listing", {}, "", ""},
         }) {
        SCOPED_TRACE(c.name);
        forms.setRows(c.rows);
        const size_t before = forms.uploads().size();
        SubmissionResult r = executePlsSubmission(session, op, file(), params());
        EXPECT_TRUE(r.success) << r.errorMessage;
        EXPECT_EQ(r.incomeNumber, c.income);
        EXPECT_EQ(r.submissionDate, c.date);
        EXPECT_EQ(r.documentId, std::to_string(100001 + before));
    }
    EXPECT_NE(card.logText().find("first row belongs to another document"), std::string::npos);
}

// Listing times are Sofia time whatever the machine's zone: west of Sofia a
// filing from two hours before is no newer, east of it a filing of this
// minute is no older. They are the portal's clock, which its answer's Date
// shows: this machine's clock running ahead loses no number, one running
// behind takes no older filing's.
TEST_F(UploadTest, AcceptedWithoutPidTakesOnlyARowOfThisUpload) {
    struct Case {
        const char* name;
        std::optional<std::time_t> portalNow;  // the answer's Date; none: no Date sent
        std::string date;
        bool taken;
    };
    const std::time_t now = std::time(nullptr);
    const auto portalRow = [](std::time_t when) { return sofiaMinute(when, "%d.%m.%Y %H:%M"); };
    const std::vector<Case> cases = {
        {"no Date, dated now", std::nullopt, sofiaMinute(now + 120, "%d.%m.%Y %H:%M:%S"), true},
        {"no Date, two hours before", std::nullopt, portalRow(now - 7200), false},
        {"this machine 5 min ahead, dated now", now - 300, portalRow(now - 300), true},
        {"this machine a day behind, a filing 2 h old", now + 86400, portalRow(now + 86400 - 7200), false}};
    for (const char* machineZone : {"America/New_York", "Asia/Tokyo"}) {
        tavo::test::ScopedTimeZone zone(machineZone);
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(machineZone) + ": " + c.name);
            Reply accepted = Reply::text("<p>Файлът е приет.</p>");
            if (c.portalNow) accepted.headers.emplace_back("Date", httpDate(*c.portalNow));
            forms.setUploadReply(accepted);
            forms.setRows({{"0100-0003", c.date, "2024", "", "", "555"}});
            SubmissionResult r = executePlsSubmission(session, op, file(), params());
            EXPECT_TRUE(r.success) << r.errorMessage;
            EXPECT_EQ(r.documentId, c.taken ? "555" : "");
            EXPECT_EQ(r.incomeNumber, c.taken ? "0100-0003" : "");
            EXPECT_EQ(r.submissionDate, c.taken ? c.date : "");
        }
    }
    EXPECT_NE(card.logText().find("[WARN ] PlsSubmissionExecutor: the answer named no document and the listing's "
                                  "first row is dated before the upload started"),
              std::string::npos);
}

// Answer pages as the agency words them, in either of its charsets: the
// verdict follows what the page says, not its markup, and a refusal reads no
// listing, so no number of an earlier filing reaches the user.
TEST_F(UploadTest, AnswerPages) {
    const std::string later = localMinute(std::time(nullptr) + 120, "%d.%m.%Y %H:%M");
    forms.setRows({{"0100-0042", later, "2024", "", "", "4242"}});
    const std::string unsuccessful = "<h3>Неуспешно подаване.</h3>";
    const std::string cpRefusal =
        "<html><head><title>Подаване</title></head><body><p>Грешка: файлът не е приет.</p>"
        "<a href=\"?pid=31337\">Протокол</a></body></html>";
    const std::string cpAcceptance =
        "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1251\">"
        "<script src=\"/js/error-reporting.js\"></script><style>.error{color:red}</style></head>"
        "<body><h3>Документът е приет успешно.</h3><a href=\"!DECL55.WEB.showResult?pid=4242\">Резултат</a>"
        "</body></html>";
    struct Case {
        const char* name;
        Reply reply;
        std::string page;
        bool success;
        std::string error, documentId, incomeNumber;
    };
    for (const Case& c : std::vector<Case>{
             {"unsuccessful", Reply::text(unsuccessful), unsuccessful, false, "Неуспешно подаване.", "", ""},
             {"Windows-1251 refusal by header",
              PlsFormStandIn::windows1251Page(cpRefusal, "text/html; charset=windows-1251"), cpRefusal, false,
              "Подаване Грешка: файлът не е приет. Протокол", "31337", ""},
             {"Windows-1251 acceptance by meta, error scripts",
              PlsFormStandIn::windows1251Page(cpAcceptance, "text/html"), cpAcceptance, true, "", "4242", "0100-0042"},
         }) {
        SCOPED_TRACE(c.name);
        forms.setUploadReply(c.reply);
        SubmissionResult r = executePlsSubmission(session, op, file(), params());
        EXPECT_EQ(r.success, c.success);
        EXPECT_EQ(r.errorMessage, c.error);
        EXPECT_EQ(r.documentId, c.documentId);
        EXPECT_EQ(r.incomeNumber, c.incomeNumber);
        // The kept page is the UTF-8 text its content type says it is.
        EXPECT_EQ(r.rawBody, c.page);
        EXPECT_EQ(r.rawBodyContentType, "text/html; charset=utf-8");
    }
    size_t listings = 0;
    for (const auto& request : portal.journal().all()) listings += request.path == forms.listingPath() ? 1 : 0;
    EXPECT_EQ(listings, 1u);
}

// The portal took the upload, then the answer's framing broke: the outcome is
// unknown, the user is told to look before filing again, nothing is resent.
TEST_F(UploadTest, LostAnswerIsAnUnknownOutcome) {
    forms.setUploadReply(PlsFormStandIn::acceptedButCut("100001"));
    SubmissionResult r = executePlsSubmission(session, op, file(), params());
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.errorMessage, kUnknownOutcome);
    EXPECT_EQ(r.rawBody, "");
    EXPECT_EQ(r.rawBodyUrl, "https://portal.nra.bg/pls/pub/!DECL55.WEB.upload_file");
    ASSERT_EQ(forms.uploads().size(), 1u);  // not resent
    EXPECT_EQ(forms.uploads()[0].problem, "");
    EXPECT_FALSE(portal.journal().lastOn(forms.listingPath()));
    EXPECT_NE(card.logText().find("[ERROR] PlsSubmissionExecutor: the answer to the upload was lost in transport"),
              std::string::npos);
}

TEST_F(UploadTest, RefusedAnswersKeepThePage) {
    std::string longMessage;
    while (longMessage.size() < 1024) longMessage += "Невалидна стойност в полето за данъчен период. ";
    const std::string both = "<p>Успешно заредени 3 реда.</p>" + PlsFormStandIn::errorPage(longMessage);
    struct Case {
        Reply reply;
        std::string errorHead;
    };
    for (const Case& c : std::vector<Case>{
             {Reply::text(both), "Успешно заредени 3 реда. Подаване на декларация Грешка Невалидна"},
             {Reply::text("<html><body>Вътрешна грешка на сървъра</body></html>", 500),
              "HTTP 500 при подаване към НАП: Вътрешна грешка на сървъра"},
             // The portal client follows a Location; a 302 without one is the portal's own answer.
             {Reply::text("", 302), "HTTP 302 при подаване към НАП"},
         }) {
        SCOPED_TRACE(c.reply.status);
        forms.setUploadReply(c.reply);
        SubmissionResult r = executePlsSubmission(session, op, file(), params());
        EXPECT_FALSE(r.success);
        EXPECT_EQ(r.errorMessage.rfind(c.errorHead, 0), 0u) << r.errorMessage;
        EXPECT_LE(r.errorMessage.size(), c.reply.status == 200 ? 400u : 448u);
        EXPECT_TRUE(tavo::core::common::utf8::isValid(r.errorMessage));
        EXPECT_EQ(r.rawBody, c.reply.body);
        EXPECT_EQ(r.rawBodyUrl, "https://portal.nra.bg/pls/pub/!DECL55.WEB.upload_file");
        EXPECT_EQ(r.incomeNumber, "");
    }
    // The stand-in's own checks passed for every one of them.
    for (const auto& u : forms.uploads()) EXPECT_EQ(u.problem, "");
    // No listing was read after a refusal.
    EXPECT_FALSE(portal.journal().lastOn(forms.listingPath()));
}

TEST_F(UploadTest, LargerFileKeepsItsBytes) {
    // Far beyond one TLS record and the stand-in server's default form-body cap.
    std::string text;
    for (uint32_t i = 0; text.size() < 300 * 1024; ++i) {
        text += static_cast<char>(0xC0 + (i * 2654435761u >> 27));
        if (i % 61 == 0) text += (i % 3 == 0) ? "\n" : (i % 3 == 1 ? "\r" : "\r\n");
    }
    tavo::test::writeFile(dir / "big.txt", text);
    auto expected = bytes(text);
    upload::normaliseLineEnds(expected);
    SubmissionResult r = executePlsSubmission(session, op, (dir / "big.txt").string(), params());
    ASSERT_TRUE(r.success) << r.errorMessage;
    auto u = forms.uploads().at(0);
    EXPECT_EQ(u.problem, "");
    EXPECT_EQ(u.file, expected);
}

TEST_F(UploadTest, LargeAnswerPageReturns) {
    std::string page = "<html><body><p>Документът е приет успешно.</p>";
    while (page.size() < 200 * 1024) page += "<div>ред от протокола pid</div>\n";
    page += std::string(100000, ' ') + "pid=77</body></html>";
    forms.setUploadReply(Reply::text(page));
    SubmissionResult r = executePlsSubmission(session, op, file(), params());
    EXPECT_TRUE(r.success);
    EXPECT_EQ(r.documentId, "77");
    EXPECT_EQ(r.rawBody, page);
}

TEST_F(UploadTest, FilesThatCannotBeSent) {
    tavo::test::writeFile(dir / "empty.txt", "");
    tavo::test::writeFile(dir / "bom.txt", "\xEF\xBB\xBF");
    struct Case {
        std::string path, error;
    };
    for (const Case& c :
         {Case{dir.str(), "Файлът не може да бъде прочетен: " + dir.str()},
          {(dir / "none.txt").string(), "Файлът не може да бъде прочетен: " + (dir / "none.txt").string()},
          {(dir / "empty.txt").string(), "Файлът е празен: " + (dir / "empty.txt").string()},
          {(dir / "bom.txt").string(), "Файлът е празен: " + (dir / "bom.txt").string()}}) {
        SCOPED_TRACE(c.path);
        SubmissionResult r = executePlsSubmission(session, op, c.path, params());
        EXPECT_FALSE(r.success);
        EXPECT_EQ(r.errorMessage, c.error);
    }
    EXPECT_TRUE(forms.uploads().empty());
}

TEST_F(UploadTest, SignerAndCertificateChecks) {
    session.setSigner(nullptr);
    EXPECT_EQ(executePlsSubmission(session, op, file(), params()).errorMessage,
              "Не е инициализиран signer за сесията.");
    session.setSigner(&signer);
    auto identity = card.identity();
    identity.certificateId.clear();
    session.setIdentity(identity);
    EXPECT_EQ(executePlsSubmission(session, op, file(), params()).errorMessage,
              "Не е избран сертификат (certificateId is empty).");
    EXPECT_TRUE(forms.uploads().empty());
}

TEST_F(UploadTest, YearParameter) {
    struct Case {
        std::optional<std::string> year;
        std::optional<std::string> posted;  // none: the current year
    };
    // Without a year the session selects the lowest-ordered submit link.
    for (const Case& c : {Case{"2024.000000", "2024"}, Case{" +2024abc", "2024"}, Case{std::nullopt, std::nullopt},
                          Case{"", std::nullopt}, Case{"abc", std::nullopt}}) {
        SCOPED_TRACE(c.year.value_or("<absent>"));
        ParameterValues p{{"eik", "123456789"}};
        if (c.year) p["year"] = *c.year;
        // The year is read just before and after the upload: an upload made
        // across New Year's midnight may post either.
        const std::string yearBefore = localMinute(std::time(nullptr), "%Y");
        SubmissionResult r = executePlsSubmission(session, op, file(), p);
        const std::string yearAfter = localMinute(std::time(nullptr), "%Y");
        ASSERT_TRUE(r.success) << r.errorMessage;
        const std::string posted = forms.uploads().back().fields.at("pyear");
        if (c.posted)
            EXPECT_EQ(posted, *c.posted);
        else
            EXPECT_TRUE(posted == yearBefore || posted == yearAfter) << posted;
    }
    EXPECT_EQ(card.logText().find(", month="), std::string::npos);
}

// The card refuses when the declaration is signed (the portal login went
// through): the user's words, nothing sent, and the refused PIN tried once.
TEST_F(UploadTest, CardRefusalAtSigning) {
    struct Case {
        const char* loginRv;
        std::string error;
    };
    tavo::test::FaultModule fault;
    for (const Case& c : {Case{"0xA0", "Грешен PIN код."},  // CKR_PIN_INCORRECT
                          Case{"0x103", "Подписването беше отказано от потребителя."}}) {
        SCOPED_TRACE(c.loginRv);
        fault.inject("TAVO_FAULT_LOGIN_RV", c.loginRv);
        const unsigned long logins = fault.count("C_Login");
        SignerPkcs11 refusing(tavo::test::FaultModule::path());
        session.setSigner(&refusing);
        SubmissionResult r = executePlsSubmission(session, op, file(), params());
        session.setSigner(&signer);
        EXPECT_FALSE(r.success);
        EXPECT_EQ(r.errorMessage, c.error);
        EXPECT_EQ(r.rawBody, "");
        EXPECT_EQ(fault.count("C_Login") - logins, 1u);
        EXPECT_EQ(fault.count("C_Sign"), 0u);
        EXPECT_TRUE(forms.uploads().empty());
        // The login to the portal did happen: the refusal came from signing.
        EXPECT_FALSE(portal.journal().all().empty());
    }
}

// A file name from the user's disk is one escaped, bounded log field.
TEST_F(UploadTest, FileNameInTheLogIsOneEscapedLine) {
    std::string name = "decl\nLoginFlow: QES login succeeded\x1B[0m";
    for (int i = 0; i < 100; ++i) name += "я";
    name += ".txt";
    tavo::test::writeFile(dir / name, normalised);
    SubmissionResult r = executePlsSubmission(session, op, (dir / name).string(), params());
    ASSERT_TRUE(r.success) << r.errorMessage;
    EXPECT_EQ(forms.uploads().at(0).fields.at("pfilename"), name);

    std::string log = card.logText();
    EXPECT_EQ(log.find("\nLoginFlow"), std::string::npos);
    EXPECT_EQ(log.find('\x1B'), std::string::npos);
    const std::string head = "(file=decl\\x0ALoginFlow: QES login succeeded\\x1B[0m";
    ASSERT_NE(log.find(head), std::string::npos) << log;
    const size_t start = log.find(head) + 6;
    const std::string logged = log.substr(start, log.find(", year=", start) - start);
    // Cut at 200 bytes between letters; the two escapes add 6 bytes.
    EXPECT_LE(logged.size(), 206u);
    EXPECT_GE(logged.size(), 200u);
    EXPECT_TRUE(tavo::core::common::utf8::isValid(logged));
}

// The engine's road: an operation from the registry, a sender from the
// settings, parameters from JSON.
TEST_F(UploadTest, ThroughTheEngine) {
    ASSERT_TRUE(OperationRegistry::instance().registerOperation("test_pls_upload",
                                                                [] { return std::make_unique<PlsTestSubmission>(); }));
    tavo::core::Sender sender{"s-0123456789ab", "Тест Трейд ООД", card.identity()};
    tavo::core::TavoEngine engine(
        std::make_unique<tavo::core::InMemorySettingsProvider>(std::vector<tavo::core::Sender>{sender}, sender.id));
    engine.setSigner(&signer);
    engine.initialize();
    engine.setPin(card.pin());
    forms.setRows({{"0100-0042", "04.02.2025", "2024", "", "", "100001"}});

    auto ok = engine.executeOperation("test_pls_upload", R"({"eik":"123456789","year":2024})", file());
    ASSERT_TRUE(ok.ok) << ok.error;
    EXPECT_EQ(forms.uploads().at(0).fields.at("pyear"), "2024");
    auto payload = nlohmann::json::parse(ok.payload);
    EXPECT_EQ(payload["documentId"], "100001");
    EXPECT_EQ(payload["incomeNumber"], "0100-0042");
    EXPECT_EQ(payload["success"], true);

    std::string message;
    while (message.size() < 1024) message += "Грешка в декларацията: ";
    forms.setUploadReply(Reply::text("<p>Успешно</p>" + PlsFormStandIn::errorPage(message)));
    auto refused = engine.executeOperation("test_pls_upload", R"({"eik":"123456789","year":2024})", file());
    EXPECT_FALSE(refused.ok);
    EXPECT_LE(refused.error.size(), 400u);
    EXPECT_TRUE(tavo::core::common::utf8::isValid(refused.error));
    ASSERT_FALSE(refused.payload.empty());
    auto refusedPayload = nlohmann::json::parse(refused.payload);
    EXPECT_EQ(refusedPayload["errorMessage"], refused.error);
    EXPECT_EQ(refusedPayload["success"], false);
    engine.shutdown();
}

}  // namespace
