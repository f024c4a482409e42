#include "operations/PlsResultsExecutor.h"

#include <gtest/gtest.h>

#include "domain/NapSession.h"
#include "support/PlsFormStandIn.h"
#include "support/PlsTestSubmission.h"
#include "support/PortalCard.h"
#include "support/PortalStandIn.h"

namespace {

using namespace tavo::core::operations;
using tavo::core::domain::NapSession;
using tavo::test::PlsFormStandIn;
using tavo::test::PlsTestSubmission;
using tavo::test::PortalCard;
using tavo::test::PortalStandIn;
using tavo::test::Reply;
using Rows = std::vector<std::vector<std::string>>;

ResultsFilter filterFor(std::optional<int32_t> year, std::optional<int32_t> month = std::nullopt) {
    ResultsFilter f;
    f.eik = "123456789";
    f.year = year;
    f.month = month;
    return f;
}

std::string row(const std::vector<std::string>& cells, const std::string& attrs = " onmouseover=\"hl(this)\"") {
    std::string html = "<tr" + attrs + ">";
    for (const auto& c : cells) html += "<td>" + c + "</td>";
    return html + "</tr>";
}

TEST(HtmlListing, ColumnRulesByCellCount) {
    std::string page = "<table>" + row({"Документ", "Вх. №"}, "") +  // header row without onmouseover
                       row({"<a href='x?pid=1'>1</a>", "0001"}) +    // two cells: dropped
                       row({"<a href='x?IPDOC_ID = \"77\"'>a</a>", " 02 <b>Б</b> ", "01.02.2024"}) +
                       row({"x", "0003", "03.03.2024", "a", "b"}) +
                       row({"<a href='x?pid=9'>9</a>", "0004", "04.04.2024", "a", "b", "2024", "extra"}) +
                       row({"<a href='x?pid=10'>10</a>", "0005", "05.05.2023", "a", "b", "2023"}) +
                       row({"", "0006", "06.06.2024", "a", "b", "около 2020"}) + "</table>";
    struct Case {
        std::optional<int32_t> year;
        Rows expected;
    };
    const std::vector<std::string> r77 = {"123456789", "", "", "02 Б", "01.02.2024", "77"};
    const std::vector<std::string> r3 = {"123456789", "", "", "0003", "03.03.2024", ""};
    const std::vector<std::string> r9 = {"123456789", "", "2024", "0004", "04.04.2024", "9"};
    const std::vector<std::string> r10 = {"123456789", "", "2023", "0005", "05.05.2023", "10"};
    const std::vector<std::string> r6 = {"123456789", "", "около 2020", "0006", "06.06.2024", ""};
    for (const Case& c : {Case{std::nullopt, {r77, r3, r9, r10, r6}}, Case{2024, {r77, r3, r9, r6}},
                          Case{2023, {r77, r3, r10, r6}}, Case{1999, {r77, r3, r6}}}) {
        SCOPED_TRACE(c.year ? std::to_string(*c.year) : "no year");
        EXPECT_EQ(listing::readHtmlRows(page, filterFor(c.year, 5)), c.expected);
    }
}

TEST(AjaxListing, PeriodDocIdAndFilters) {
    const std::string body = R"({"data":[
      {"UIN":"111","PERIOD":"03.2024","INNO":"A1","INNODATE":"01.04.2024","DOCID":"501"},
      {"UIN":"","PERIOD":"2024","INNO":"A2","INNODATE":"d2","DOCID":502},
      {"PERIOD":"04-2024","INNO":"A3","INNODATE":"d3","DOCID":"503"},
      {"PERIOD":"12/2023","INNO":7,"DOCID":"504"},
      {"PERIOD":"x.2024","INNO":"A5"},
      "not an object", 5, null]})";
    const std::vector<std::string> a1 = {"111", "3", "2024", "A1", "01.04.2024", "501"};
    const std::vector<std::string> a2 = {"123456789", "", "", "A2", "d2", ""};
    const std::vector<std::string> a3 = {"123456789", "4", "2024", "A3", "d3", "503"};
    const std::vector<std::string> a4 = {"123456789", "12", "2023", "", "", "504"};
    const std::vector<std::string> a5 = {"123456789", "", "", "A5", "", ""};
    struct Case {
        std::optional<int32_t> year, month;
        Rows expected;
    };
    for (const Case& c :
         {Case{std::nullopt, std::nullopt, {a1, a2, a3, a4, a5}}, Case{2024, std::nullopt, {a1, a2, a3, a5}},
          Case{2024, 3, {a1, a2, a5}}, Case{std::nullopt, 12, {a2, a4, a5}}}) {
        SCOPED_TRACE(testing::Message() << c.year.value_or(-1) << "/" << c.month.value_or(-1));
        InquiryResult r;
        listing::readAjaxAnswer(body, filterFor(c.year, c.month), r);
        EXPECT_EQ(r.rows, c.expected);
        EXPECT_EQ(r.metadata.at("count"), std::to_string(c.expected.size()));
    }
}

TEST(AjaxListing, ShapesWithoutRows) {
    struct Case {
        const char* body;
        const char* count;      // nullptr: no count
        const char* errorHead;  // nullptr: no error
    };
    for (const Case& c : {Case{"[]", "0", nullptr},
                          {"{}", "0", nullptr},
                          {R"({"data":{}})", "0", nullptr},
                          {R"({"data":[]})", "0", nullptr},
                          {"{\"data\": [", nullptr, "Невалиден JSON отговор: "},
                          {"<html>", nullptr, "Невалиден JSON отговор: "}}) {
        SCOPED_TRACE(c.body);
        InquiryResult r;
        listing::readAjaxAnswer(c.body, filterFor(2024), r);
        EXPECT_TRUE(r.rows.empty());
        EXPECT_EQ(r.metadata.count("count"), c.count ? 1u : 0u);
        if (c.count) {
            EXPECT_EQ(r.metadata.at("count"), c.count);
        }
        EXPECT_EQ(r.metadata.count("error"), c.errorHead ? 1u : 0u);
        if (c.errorHead) {
            EXPECT_EQ(r.metadata.at("error").rfind(c.errorHead, 0), 0u);
        }
    }
}

TEST(AjaxListing, RequestHasTheSixtyOneFields) {
    auto fields = listing::ajaxRequestFields();
    EXPECT_EQ(fields.size(), 61u);
    EXPECT_EQ(fields.at("columns[2][data]"), "PERIOD");
    EXPECT_EQ(fields.at("columns[0][data]"), "");
    EXPECT_EQ(fields.at("columns[8][search][regex]"), "false");
}

struct ListingTest : ::testing::Test {
    PortalCard card;
    PortalStandIn portal;
    PlsFormStandIn forms{portal};
    NapSession session;

    void SetUp() override {
        session.setIdentity(card.identity());
        session.setPin(card.pin());
        forms.setRows({{"0100-0001", "01.02.2025", "2024", "01.2024", "", "900001"},
                       {"0100-0002", "02.02.2025", "2023", "12.2023", "222", "900002"}});
    }
};

TEST_F(ListingTest, HtmlTableThroughTheSession) {
    PlsTestSubmission op;
    InquiryResult r = fetchHtmlTableResults(session, op, filterFor(2024));
    ASSERT_EQ(r.metadata.count("error"), 0u) << r.metadata["error"];
    EXPECT_EQ(r.rows, (Rows{{"123456789", "", "2024", "0100-0001", "01.02.2025", "900001"}}));
    EXPECT_EQ(r.metadata.at("count"), "1");
    EXPECT_EQ(r.columns.size(), 6u);
    EXPECT_EQ(r.columns[3].id, "incomeNumber");
    EXPECT_EQ(r.rawBodyContentType, "text/html; charset=utf-8");
    EXPECT_EQ(r.rawBodyUrl, "https://portal.nra.bg/pls/pub/decl55.web.listDocuments");
    EXPECT_EQ(r.rawBody,
              PlsFormStandIn::listingHtml({{"0100-0001", "01.02.2025", "2024", "01.2024", "", "900001"},
                                           {"0100-0002", "02.02.2025", "2023", "12.2023", "222", "900002"}}));
    // The results link was selected, not a submission link.
    EXPECT_TRUE(portal.journal().lastOn("/api/common/service-links/select/5509"));
}

TEST_F(ListingTest, AjaxThroughTheSession) {
    PlsTestSubmission op("test_pls_ajax", "decl55.web.ajaxDocuments");
    InquiryResult r = fetchAjaxJsonResults(session, op, "decl55.web.ajaxDocuments", filterFor(2023, 12));
    ASSERT_EQ(r.metadata.count("error"), 0u) << r.metadata["error"];
    EXPECT_EQ(forms.ajaxProblems(), std::vector<std::string>{});
    EXPECT_EQ(r.rows, (Rows{{"222", "12", "2023", "0100-0002", "02.02.2025", "900002"}}));
    EXPECT_EQ(r.rawBodyContentType, "application/json");
    EXPECT_EQ(r.rawBodyUrl, "https://portal.nra.bg/pls/pub/decl55.web.ajaxDocuments");
}

TEST_F(ListingTest, FailuresCarryOnlyTheError) {
    PlsTestSubmission html;
    PlsTestSubmission ajax("test_pls_ajax", "decl55.web.ajaxDocuments");
    const std::string http500 = "HTTP 500 при четене на списъка с подадени документи.";
    forms.setListingReply(Reply::text("<html>down</html>", 500));
    forms.setAjaxReply(Reply::text("<html>down</html>", 500));
    for (const InquiryResult& r : {fetchHtmlTableResults(session, html, filterFor(2024)),
                                   fetchAjaxJsonResults(session, ajax, "decl55.web.ajaxDocuments", filterFor(2024))}) {
        EXPECT_EQ(r.metadata, (std::unordered_map<std::string, std::string>{{"error", http500}}));
        EXPECT_TRUE(r.rows.empty());
        EXPECT_EQ(r.columns.size(), 6u);
        EXPECT_EQ(r.rawBody, "");
    }
    // JSON that does not parse keeps the raw answer and reports only the error.
    forms.setAjaxReply(Reply::json("{\"data\": [1,"));
    InquiryResult bad = fetchAjaxJsonResults(session, ajax, "decl55.web.ajaxDocuments", filterFor(2024));
    EXPECT_EQ(bad.metadata.count("count"), 0u);
    EXPECT_EQ(bad.metadata.at("error").rfind("Невалиден JSON отговор: ", 0), 0u);
    EXPECT_EQ(bad.rawBody, "{\"data\": [1,");
}

// A lapsed session answers the listing with its sign-in page, a redirect or
// nothing: an error that says so, never an empty listing. Sign-in pages hold
// layout tables: one reached by a redirect is told by where it ended.
TEST_F(ListingTest, LapsedSessionIsNoListing) {
    const std::string lapsed =
        "Порталът не върна списъка с подадени документи, а друга страница (напр. за вход): сесията може да е "
        "изтекла. Опитайте отново.";
    struct Case {
        const char* name;
        Reply reply;
    };
    PlsTestSubmission op;
    PlsTestSubmission ajax("test_pls_ajax", "decl55.web.ajaxDocuments");
    portal.on(PortalStandIn::Host::Portal, "GET", "/auth/signin",
              [](const tavo::test::RecordedRequest&) { return Reply::text(PortalStandIn::loginPage()); });
    for (const Case& c : {Case{"page without a table, 200", Reply::text("<p>Сесията изтече. Влезте отново.</p>")},
                          {"redirect to the login host", Reply::redirect(PortalStandIn::loginPageUrl())},
                          {"redirect to the portal's sign-in", Reply::redirect("/auth/signin?appId=2")},
                          {"redirect to the portal's entry point", Reply::redirect("/auth/entrypoint?lang=bg")},
                          {"empty 200", Reply::text("")}}) {
        SCOPED_TRACE(c.name);
        forms.setListingReply(c.reply);
        forms.setAjaxReply(c.reply);
        for (const InquiryResult& r :
             {fetchHtmlTableResults(session, op, filterFor(2024)),
              fetchAjaxJsonResults(session, ajax, "decl55.web.ajaxDocuments", filterFor(2024))})
            EXPECT_EQ(r.metadata, (std::unordered_map<std::string, std::string>{{"error", lapsed}}));
    }
    // An empty table is a listing.
    forms.setListingReply(std::nullopt);
    forms.setRows({});
    EXPECT_EQ(fetchHtmlTableResults(session, op, filterFor(2024)).metadata.at("count"), "0");
    // A redirect that writes the default port stays on the portal.
    portal.portal().replySequence(
        "GET", forms.listingPath(),
        {Reply::redirect("https://portal.nra.bg:443" + forms.listingPath() + "?page=1"),
         Reply::text(PlsFormStandIn::listingHtml({{"0100-0001", "01.02.2025", "2024", "", "", "900001"}}))});
    EXPECT_EQ(fetchHtmlTableResults(session, op, filterFor(2024)).metadata,
              (std::unordered_map<std::string, std::string>{{"count", "1"}}));
}

TEST_F(ListingTest, NoServiceGivesTheSessionError) {
    class Unknown : public PlsTestSubmission {
    public:
        std::string categoryName() const override { return "Няма такава услуга"; }
    } op;
    InquiryResult r = fetchHtmlTableResults(session, op, filterFor(2024));
    ASSERT_EQ(r.metadata.count("error"), 1u);
    EXPECT_EQ(r.metadata.at("error"), session.lastError());
    EXPECT_FALSE(r.metadata.at("error").empty());
}

TEST_F(ListingTest, MegabyteRowReturns) {
    std::string big(1 << 20, ' ');
    for (size_t i = 0; i < big.size(); i += 7) big[i] = '9';
    std::string page = "<table>" + row({"<a href='x?pid=31'>a</a>", "0007" + big, "07.07.2024", "a", "b", "2024"}) +
                       row({"<a href='x?pid=" + std::string(1 << 20, '1') + "'>a</a>", "0008", "d", "a", "b"}) +
                       "</table>";
    forms.setListingReply(Reply::text(page));
    PlsTestSubmission op;
    InquiryResult r = fetchHtmlTableResults(session, op, filterFor(2024));
    ASSERT_EQ(r.rows.size(), 2u) << r.metadata["error"];
    EXPECT_EQ(r.rows[0][5], "31");
    EXPECT_EQ(r.rows[1][5], std::string(1 << 20, '1'));
}

}  // namespace
