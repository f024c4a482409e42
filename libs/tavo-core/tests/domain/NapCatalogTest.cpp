#include <gtest/gtest.h>

#include "domain/NapCatalog.h"
#include "infrastructure/http/NapEndpoints.h"

using tavo::core::domain::NapCategory;
using tavo::core::domain::NapService;
using tavo::core::domain::NapServiceLink;

namespace {

NapServiceLink linkWith(std::initializer_list<std::pair<const std::string, std::string>> props) {
    NapServiceLink link;
    link.props = props;
    return link;
}

const std::string kPls = tavo::core::infra::nap::kPlsPubBase;

}  // namespace

TEST(NapServiceLink, DefaultsWithoutProps) {
    NapServiceLink link;
    EXPECT_EQ(link.orderNum, 2147483647);
    EXPECT_EQ(link.serviceIdentifier(), "");
    EXPECT_EQ(link.systemId(), 5);
    EXPECT_EQ(link.uploadUrl(), kPls + "!.upload_file");
    EXPECT_EQ(kPls, std::string(tavo::core::infra::nap::kPortalBase) + "/pls/pub/");
}

TEST(NapServiceLink, SystemIdReadsLeadingInteger) {
    struct Case {
        const char* prop;
        int expected;
    };
    for (const Case& c : {Case{"12abc", 12},
                          {" 7", 7},
                          {"x7", 5},
                          {"99999999999", 5},
                          {"", 5},
                          {"-3", -3},
                          {"+4", 4},
                          {"+-4", 5},
                          {"+", 5},
                          {"\t\n 8 9", 8},
                          {"2147483647", 2147483647},
                          {"2147483648", 5},
                          {"-2147483648", -2147483648},
                          {"0x10", 0}}) {
        SCOPED_TRACE(c.prop);
        EXPECT_EQ(linkWith({{"systemId", c.prop}}).systemId(), c.expected);
    }
}

TEST(NapServiceLink, ServiceIdentifierCutsAtSecondPoint) {
    struct Case {
        const char* url;
        const char* expected;
    };
    for (const Case& c : {Case{"e_vat.main", "E_VAT.MAIN"},
                          {"one.two.three", "ONE.TWO"},
                          {"a.b.c", "A.B"},
                          {"pkg.proc", "PKG.PROC"},
                          {"nodot", ""},
                          {"", ""},
                          {".x", ".X"},
                          {"a..b", "A."},
                          {"ivat.pub.upload_file?x=1", "IVAT.PUB"},
                          {"я.b", "я.B"}}) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(linkWith({{"url", c.url}}).serviceIdentifier(), c.expected);
    }
}

TEST(NapServiceLink, LegacyAddresses) {
    NapServiceLink link = linkWith({{"url", "a.b"}});
    EXPECT_EQ(link.uploadUrl(), kPls + "!A.B.upload_file");
    EXPECT_EQ(link.showResultUrl("123"), kPls + "A.B.showResult?pid=123");
    EXPECT_EQ(link.listDocumentsUrl(), kPls + "A.B.listDocuments");
    // A caller's pid can never extend the query.
    EXPECT_EQ(link.showResultUrl("1&x=2 #я"), kPls + "A.B.showResult?pid=1%26x%3D2%20%23%D1%8F");
    EXPECT_EQ(link.showResultUrl("a-b.c_d~"), kPls + "A.B.showResult?pid=a-b.c_d~");
}

TEST(NapCatalog, FindsFirstByExactName) {
    NapService service;
    service.name = "vat-report";
    for (auto [id, name] : {std::pair{"1", "submit"}, {"2", "results"}, {"3", "submit"}}) {
        NapServiceLink l;
        l.id = id;
        l.name = name;
        service.links.push_back(l);
    }
    NapCategory category;
    category.services = {service, service};
    category.services[1].id = "second";

    ASSERT_TRUE(service.findLink("submit"));
    EXPECT_EQ(service.findLink("submit")->id, "1");
    EXPECT_EQ(service.findLink("results")->id, "2");
    EXPECT_FALSE(service.findLink("Submit"));
    EXPECT_FALSE(service.findLink(""));

    auto found = category.findService("vat-report");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->id, "");
    EXPECT_EQ(found->links.size(), 3u);
    EXPECT_FALSE(category.findService("vat"));

    // Copies are deep: changing the found copy leaves the catalogue alone.
    found->links[0].props["url"] = "x.y";
    EXPECT_TRUE(category.services[0].links[0].props.empty());
}
