#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "operations/IInquiry.h"
#include "operations/ISubmission.h"
#include "operations/OperationRegistry.h"

using namespace tavo::core::operations;
using tavo::core::domain::NapSession;

namespace {

// Counts live instances so that a test can see a factory's object destroyed.
int gLiveOps = 0;

class Probe : public IInquiry {
public:
    explicit Probe(std::string name, bool eik = true) : name_(std::move(name)), eik_(eik) { ++gLiveOps; }
    ~Probe() override { --gLiveOps; }
    std::string typeId() const override { return "instance-own-id"; }
    std::string displayName() const override { return name_; }
    std::string featureGroupId() const override { return "grp"; }
    std::string featureGroupName() const override { return "Група"; }
    std::string category() const override { return "Категория"; }
    bool requiresEik() const override { return eik_; }
    SubmissionChannel channel() const override { return SubmissionChannel::Browser; }
    AuthScheme authScheme() const override { return AuthScheme::None; }
    std::vector<ParameterSpec> parameters() const override { return {}; }
    InquiryResult execute(NapSession&, const ParameterValues&) override { return {}; }

private:
    std::string name_;
    bool eik_;
};

class FilingProbe : public ISubmission {
public:
    std::string typeId() const override { return "filing"; }
    std::string displayName() const override { return "Подаване"; }
    std::string featureGroupId() const override { return "grp"; }
    std::string featureGroupName() const override { return "Група"; }
    SubmissionChannel channel() const override { return SubmissionChannel::PlsLegacy; }
    AuthScheme authScheme() const override { return AuthScheme::PlsSignature; }
    PreflightResult validate(const std::string&) override { return {}; }
    SubmissionResult submit(NapSession&, const std::string&, const ParameterValues&) override { return {}; }
};

OperationRegistry::Factory probe(const std::string& name, bool eik = true) {
    return [name, eik] { return std::make_unique<Probe>(name, eik); };
}

std::vector<std::string> ids(const std::vector<OperationRegistry::Entry>& entries) {
    std::vector<std::string> out;
    for (const auto& e : entries) out.push_back(e.typeId);
    return out;
}

bool registerCapturingLog(OperationRegistry& reg, const std::string& typeId, OperationRegistry::Factory f,
                          std::string* log) {
    testing::internal::CaptureStderr();
    bool added = reg.registerOperation(typeId, std::move(f));
    *log = testing::internal::GetCapturedStderr();
    return added;
}

}  // namespace

TEST(OperationRegistry, RegistrationOutcomesAndLogLines) {
    struct Case {
        const char* label;
        std::string typeId;
        OperationRegistry::Factory factory;
        bool added;
        std::string logLine;
    };
    OperationRegistry reg;
    std::vector<Case> cases;
    cases.push_back({"first", "vat", probe("first"), true, "[INFO ] OperationRegistry: registered 'vat'\n"});
    cases.push_back({"duplicate", "vat", probe("second"), false,
                     "[WARN ] OperationRegistry: duplicate registration for 'vat' ignored\n"});
    cases.push_back({"empty id", "", probe("x"), false,
                     "[WARN ] OperationRegistry: ignored registration with empty typeId or null factory\n"});
    cases.push_back({"null factory", "nofactory", nullptr, false,
                     "[WARN ] OperationRegistry: ignored registration with empty typeId or null factory\n"});
    cases.push_back({"factory returns null", "nullop", [] { return std::unique_ptr<ITavoOperation>(); }, false,
                     "[WARN ] OperationRegistry: factory for 'nullop' returned null\n"});
    for (Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string log;
        EXPECT_EQ(registerCapturingLog(reg, c.typeId, std::move(c.factory), &log), c.added);
        EXPECT_NE(log.find(c.logLine), std::string::npos) << log;
    }
    EXPECT_EQ(gLiveOps, 0);  // the registration instance is destroyed
    EXPECT_EQ(ids(reg.listAll()), std::vector<std::string>{"vat"});
    EXPECT_EQ(reg.listAll()[0].displayName, "first");
    EXPECT_EQ(reg.create("vat")->displayName(), "first");
    EXPECT_EQ(reg.create("nullop"), nullptr);
    EXPECT_EQ(reg.create("nofactory"), nullptr);

    testing::internal::CaptureStderr();
    EXPECT_EQ(reg.create("never-registered"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(OperationRegistry, EntryCapturesMetadataUnderRegistrationKey) {
    OperationRegistry reg;
    ASSERT_TRUE(reg.registerOperation("dec1_6", probe("Декларация", false)));
    ASSERT_TRUE(reg.registerOperation("filing", [] { return std::make_unique<FilingProbe>(); }));
    auto all = reg.listAll();
    ASSERT_EQ(all.size(), 2u);
    const auto& e = all[0];
    EXPECT_EQ(e.typeId, "dec1_6");  // the key, not the instance's own id
    EXPECT_EQ(e.displayName, "Декларация");
    EXPECT_EQ(e.category, "Категория");
    EXPECT_EQ(e.featureGroupId, "grp");
    EXPECT_EQ(e.featureGroupName, "Група");
    EXPECT_EQ(e.kind, OperationKind::Inquiry);
    EXPECT_FALSE(e.requiresEik);
    EXPECT_EQ(all[1].kind, OperationKind::Submission);
    EXPECT_TRUE(all[1].requiresEik);
    EXPECT_EQ(ids(reg.listSubmissions()), std::vector<std::string>{"filing"});
    EXPECT_EQ(ids(reg.listInquiries()), std::vector<std::string>{"dec1_6"});
}

TEST(OperationRegistry, ListsInByteOrder) {
    OperationRegistry empty;
    EXPECT_TRUE(empty.listAll().empty());
    EXPECT_TRUE(empty.listSubmissions().empty());
    EXPECT_TRUE(empty.listInquiries().empty());

    OperationRegistry reg;
    for (const char* id : {"vat", "dec731", "dec1_6", "vat_result", "dec1_6_portal_files", "Zeta", "яко"})
        ASSERT_TRUE(reg.registerOperation(id, probe(id)));
    EXPECT_EQ(ids(reg.listAll()), (std::vector<std::string>{"Zeta", "dec1_6", "dec1_6_portal_files", "dec731", "vat",
                                                            "vat_result", "яко"}));
    EXPECT_EQ(ids(reg.listInquiries()), ids(reg.listAll()));
    EXPECT_TRUE(reg.listSubmissions().empty());
}

TEST(OperationRegistry, CreateMakesFreshInstances) {
    OperationRegistry reg;
    int calls = 0;
    ASSERT_TRUE(reg.registerOperation("vat", [&calls] {
        ++calls;
        return std::make_unique<Probe>("p");
    }));
    EXPECT_EQ(calls, 1);
    auto a = reg.create("vat");
    auto b = reg.create("vat");
    ASSERT_TRUE(a && b);
    EXPECT_NE(a.get(), b.get());
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(gLiveOps, 2);
}

TEST(OperationRegistry, InstanceIsOneProcessWideRegistry) {
    EXPECT_EQ(&OperationRegistry::instance(), &OperationRegistry::instance());
}
