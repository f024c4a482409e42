// Built into a static library of its own (".cc" keeps it out of the test
// executables' source globs): a registrar that nothing references.
#include "operations/IInquiry.h"
#include "operations/OperationRegistry.h"

namespace {

using namespace tavo::core::operations;

class LinkedProbe : public IInquiry {
public:
    std::string typeId() const override { return "linked_probe"; }
    std::string displayName() const override { return "Свързана проба"; }
    std::string featureGroupId() const override { return "test"; }
    std::string featureGroupName() const override { return "Тест"; }
    SubmissionChannel channel() const override { return SubmissionChannel::Browser; }
    AuthScheme authScheme() const override { return AuthScheme::None; }
    std::vector<ParameterSpec> parameters() const override { return {}; }
    InquiryResult execute(tavo::core::domain::NapSession&, const ParameterValues&) override { return {}; }
};

const bool kRegistered =
    OperationRegistry::instance().registerOperation("linked_probe", [] { return std::make_unique<LinkedProbe>(); });

}  // namespace
