#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <typeinfo>

#include "infrastructure/http/NapEndpoints.h"
#include "operations/IInquiry.h"
#include "operations/ISubmission.h"
#include "operations/OperationKinds.h"
#include "operations/TestFixtures.h"

using namespace tavo::core::operations;
using tavo::core::domain::NapService;
using tavo::core::domain::NapServiceLink;
using tavo::core::domain::NapSession;

namespace {

const std::string kPls = tavo::core::infra::nap::kPlsPubBase;

FieldSpec field(const std::string& id, FieldType type = FieldType::String) {
    FieldSpec f;
    f.id = id;
    f.type = type;
    return f;
}

class Handler : public IPortalHandler {
public:
    std::string submitName;
    std::string resultsName;
    std::string identifier;
    std::string submitLinkName() const override { return submitName; }
    std::string resultsLinkName() const override { return resultsName; }
    std::string serviceIdentifier() const override { return identifier; }
};

class Filing : public ISubmission {
public:
    std::string identifier = "FALLBACK.ID";
    std::string typeId() const override { return "demo_filing"; }
    std::string displayName() const override { return "Демо"; }
    std::string featureGroupId() const override { return "demo"; }
    std::string featureGroupName() const override { return "Демо група"; }
    SubmissionChannel channel() const override { return SubmissionChannel::PlsLegacy; }
    AuthScheme authScheme() const override { return AuthScheme::PlsSignature; }
    ResultSpec resultSchema() const override { return {"DemoResult", {field("incomeNumber"), field("extra")}}; }
    PreflightResult validate(const std::string&) override { return {}; }
    SubmissionResult submit(NapSession&, const std::string&, const ParameterValues&) override { return {}; }
    std::string serviceIdentifier() const override { return identifier; }
};

class Reading : public IInquiry {
public:
    std::string typeId() const override { return "demo_reading"; }
    std::string displayName() const override { return "Справка"; }
    std::string featureGroupId() const override { return "demo"; }
    std::string featureGroupName() const override { return "Демо група"; }
    SubmissionChannel channel() const override { return SubmissionChannel::Browser; }
    AuthScheme authScheme() const override { return AuthScheme::NapPortalSession; }
    ResultSpec resultSchema() const override {
        FieldSpec rows = field("rows", FieldType::ArrayOfObjects);
        rows.itemFields = {field("docId"), field("amount", FieldType::Number)};
        return {"ReadingResult", {field("status"), rows}};
    }
    std::vector<ParameterSpec> parameters() const override { return {}; }
    InquiryResult execute(NapSession&, const ParameterValues&) override { return {}; }
};

NapServiceLink makeLink(const std::string& name, const std::string& title, int orderNum = 2147483647) {
    NapServiceLink l;
    l.id = name + "#" + title;
    l.name = name;
    l.title = title;
    l.orderNum = orderNum;
    return l;
}

NapServiceLink urlLink(const std::string& url) {
    NapServiceLink l;
    l.props["url"] = url;
    return l;
}

// The defaults under test never touch the session; they only need a reference.
NapSession& unusedSession() {
    alignas(std::max_align_t) static unsigned char storage[64];
    return *reinterpret_cast<NapSession*>(storage);
}

}  // namespace

TEST(PortalHandler, IcontainsFoldsAsciiOnly) {
    struct Case {
        const char* haystack;
        const char* needle;
        bool expected;
    };
    for (const Case& c : {Case{"SUBMIT 2024", "Submit", true},
                          {"anything", "", true},
                          {"", "", true},
                          {"", "a", false},
                          {"ПОДАВАНЕ 2024", "Подаване", false},
                          {"Подаване 2024", "Подаване", true},
                          {"xlistdocumentsx", "listDocuments", true},
                          {"Sub", "Submit", false}}) {
        SCOPED_TRACE(std::string(c.haystack) + " / " + c.needle);
        EXPECT_EQ(icontains(c.haystack, c.needle), c.expected);
    }
}

TEST(PortalHandler, SubmitLinkChoice) {
    NapService twoYears;
    twoYears.links = {makeLink("y23", "Подаване 2023", 2), makeLink("y24", "Подаване 2024", 5)};
    NapService mixed;
    mixed.links = {makeLink("info", "Информация 2024", 0), makeLink("late", "SUBMIT 2024", 9),
                   makeLink("early", "Подай декларация", 3), makeLink("same", "Подай отново", 3),
                   makeLink("named", "Без заглавие", 1)};
    NapService cyrillicCaps;
    cyrillicCaps.links = {makeLink("caps", "ПОДАВАНЕ 2024", 1)};
    // The year inside a deadline's date or a longer number names no service.
    NapService deadlines;
    deadlines.links = {makeLink("iso23", "Подаване за 2023 г. (срок до 2024-04-30)", 0),
                       makeLink("d23", "Подаване за 2023 г. (срок до 30.04.2024 г.)", 1),
                       makeLink("n", "Подаване 12024", 2),
                       makeLink("d24", "Подаване за 2024 г. (срок до 30.04.2025 г.)", 3)};
    NapService onlyInDates;
    onlyInDates.links = {makeLink("iso", "Подаване (до 2024-04-30)", 4), makeLink("slash", "Подаване 30/04/2024", 1)};

    struct Case {
        const char* label;
        const NapService* service;
        int year;
        const char* submitName;
        const char* expected;  // link name, nullptr for none
    };
    const NapService empty;
    for (const Case& c : {
             Case{"year picks its link", &twoYears, 2024, "", "y24"},
             {"year 0 takes lowest order", &twoYears, 0, "", "y23"},
             {"unknown year takes lowest order", &twoYears, 2025, "", "y23"},
             {"negative year ignores titles", &twoYears, -2024, "", "y23"},
             {"ascii case folded", &mixed, 2024, "", "late"},
             {"name beats order when no year matches", &mixed, 2030, "named", "named"},
             {"year beats name", &mixed, 2024, "named", "late"},
             {"a named link the portal lacks is no link", &mixed, 0, "nosuch", nullptr},
             {"earlier wins a tie of order", &mixed, 0, "", "early"},
             {"cyrillic is not folded", &cyrillicCaps, 2024, "", nullptr},
             {"no links", &empty, 2024, "y24", nullptr},
             {"year of its own beats a deadline's date", &deadlines, 2024, "", "d24"},
             {"only dates hold it: the plain search, first title holding it", &onlyInDates, 2024, "", "iso"},
         }) {
        SCOPED_TRACE(c.label);
        Handler h;
        h.submitName = c.submitName;
        auto link = h.findSubmitLinkForYear(*c.service, c.year);
        if (!c.expected) {
            EXPECT_FALSE(link);
        } else {
            ASSERT_TRUE(link);
            EXPECT_EQ(link->name, c.expected);
        }
    }
}

TEST(PortalHandler, ResultsLinkChoice) {
    NapService service;
    service.links = {makeLink("submit", "Подаване 2024"), makeLink("list", "Подадени декларации"),
                     makeLink("report", "Monthly REPORT"), makeLink("byname", "Whatever")};
    NapService plsOnly;
    plsOnly.links = {makeLink("a", "Нещо"), makeLink("b", "go to listdocuments page")};

    struct Case {
        const char* label;
        const NapService* service;
        const char* resultsName;
        const char* expected;
    };
    const NapService empty;
    for (const Case& c : {
             Case{"first titled link wins", &service, "", "list"},
             {"name wins", &service, "byname", "byname"},
             {"missing name falls back to titles", &service, "nosuch", "list"},
             {"listDocuments folded", &plsOnly, "", "b"},
             {"no links even with a name", &empty, "byname", nullptr},
         }) {
        SCOPED_TRACE(c.label);
        Handler h;
        h.resultsName = c.resultsName;
        auto link = h.findResultsLink(*c.service);
        if (!c.expected) {
            EXPECT_FALSE(link);
        } else {
            ASSERT_TRUE(link);
            EXPECT_EQ(link->name, c.expected);
        }
    }
    NapService none;
    none.links = {makeLink("x", "Подаване")};
    EXPECT_FALSE(Handler().findResultsLink(none));
}

TEST(PortalHandler, ServiceIdentifierFromLink) {
    struct Case {
        const char* url;  // nullptr: no "url" property
        const char* expected;
    };
    for (const Case& c : {
             Case{"ivat.pub.upload_file?x=1", "IVAT.PUB"},
             {"abc.showResult.upload_file", "ABC.SHOWRESULT"},
             {"", "FALLBACK.ID"},
             {nullptr, "FALLBACK.ID"},
             {"e_vat.main", "E_VAT.MAIN"},
             {"one.two.three", "ONE.TWO.THREE"},
             {"dec.pkg.PUBLICENTRY", "DEC.PKG"},
             {"dec.pkg.listDocuments?a=b?c", "DEC.PKG"},
             {".showResult", "FALLBACK.ID"},
             {"?only=query", "FALLBACK.ID"},
             {"x.showresult.publicEntry", "X.SHOWRESULT"},
         }) {
        SCOPED_TRACE(c.url ? c.url : "(none)");
        Filing f;
        NapServiceLink link = c.url ? urlLink(c.url) : NapServiceLink{};
        EXPECT_EQ(f.serviceIdentifierFromLink(link), c.expected);
    }
    // Differs on purpose from the catalogue's own rule.
    EXPECT_EQ(urlLink("one.two.three").serviceIdentifier(), "ONE.TWO");
}

TEST(Submission, PlsAddresses) {
    Filing f;
    NapServiceLink link = urlLink("ivat.pub.upload_file?x=1");
    EXPECT_EQ(f.uploadUrl(link), kPls + "!IVAT.PUB.upload_file");
    EXPECT_EQ(f.showResultUrl("123", link), kPls + "IVAT.PUB.showResult?pid=123");
    EXPECT_EQ(f.showResultUrl("1&pid=2", link), kPls + "IVAT.PUB.showResult?pid=1%26pid%3D2");
    EXPECT_EQ(f.listDocumentsUrl(link), kPls + "ivat.pub.upload_file?x=1");
    EXPECT_EQ(f.listDocumentsUrl(NapServiceLink{}), "");
    EXPECT_EQ(f.listDocumentsUrl(urlLink("")), "");
    f.identifier = "";
    EXPECT_EQ(f.uploadUrl(NapServiceLink{}), kPls + "!.upload_file");
}

TEST(Submission, Defaults) {
    Filing f;
    EXPECT_EQ(f.kind(), OperationKind::Submission);
    EXPECT_EQ(f.inputKind(), 0);
    EXPECT_TRUE(f.requiresFilePath());
    EXPECT_TRUE(f.parameters().empty());
    EXPECT_EQ(f.endpointId(), "0");
    EXPECT_EQ(f.submissionMethod(), 0);
    EXPECT_FALSE(f.requiresEncryption());
    EXPECT_FALSE(f.requiresMonth());
    EXPECT_TRUE(f.additionalFormParameters(3, "BG00IBAN").empty());
    EXPECT_TRUE(f.isAccepted({"Грешка"}));
    EXPECT_TRUE(f.requiresEik());
    EXPECT_EQ(f.category(), "");
    EXPECT_EQ(f.description(), "");
    EXPECT_EQ(f.categoryName(), "");
    EXPECT_EQ(f.systemId(urlLink("x")), 5);
    NapServiceLink withId;
    withId.props["systemId"] = "12abc";
    EXPECT_EQ(f.systemId(withId), 12);

    struct Case {
        const char* path;
        const char* name;
    };
    for (const Case& c :
         {Case{"/tmp/dec/file.txt", "file.txt"}, {"file.txt", "file.txt"}, {"/tmp/dec/", ""}, {"", ""}, {"/", ""}}) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(f.submitFileName(c.path), c.name);
    }

    SubmissionResult fixture = f.testFixture({});
    SubmissionResult expected = generateSubmissionFixture(f.resultSchema());
    EXPECT_EQ(fixture.success, expected.success);
    EXPECT_EQ(fixture.incomeNumber, expected.incomeNumber);
    EXPECT_EQ(fixture.documentId, expected.documentId);

    InquiryResult results = f.fetchResults(unusedSession(), ResultsFilter{"123456789", 2024, 1, false});
    EXPECT_TRUE(results.columns.empty());
    EXPECT_TRUE(results.rows.empty());
    EXPECT_EQ(results.metadata,
              (std::unordered_map<std::string, std::string>{
                  {"status", "not_implemented"},
                  {"declaration", "demo_filing"},
                  {"message", "Справката за подадени документи все още не е имплементирана за тази декларация."},
              }));
}

TEST(Inquiry, Defaults) {
    Reading r;
    EXPECT_EQ(r.kind(), OperationKind::Inquiry);
    EXPECT_EQ(r.cacheTtl(), 3600);
    InquiryResult fixture = r.testFixture({{"ignored", "x"}});
    InquiryResult expected = generateInquiryFixture(r.resultSchema());
    EXPECT_EQ(fixture.rows, expected.rows);
    EXPECT_EQ(fixture.metadata, expected.metadata);
    ASSERT_EQ(fixture.columns.size(), 2u);
    EXPECT_EQ(fixture.columns[1].id, "amount");

    // A portal-using inquiry implements both interfaces.
    struct PortalReading : Reading, IPortalHandler {};
    PortalReading pr;
    NapService service;
    service.links = {makeLink("r", "Резултат")};
    EXPECT_EQ(pr.findResultsLink(service)->name, "r");
}

// An inquiry that claims to be a submission.
class Impostor : public Reading {
public:
    OperationKind kind() const override { return OperationKind::Submission; }
};

TEST(OperationKinds, EachKindReachesItsOwnBranchAndAWrongClaimFails) {
    auto route = [](ITavoOperation& op) {
        return byKind(
            op, [](ISubmission& s) { return "submission " + s.typeId(); },
            [](IInquiry& i) { return "inquiry " + i.typeId(); });
    };
    Filing filing;
    Reading reading;
    Impostor impostor;
    EXPECT_EQ(route(filing), "submission demo_filing");
    EXPECT_EQ(route(reading), "inquiry demo_reading");
    EXPECT_THROW(route(impostor), std::bad_cast);
}
