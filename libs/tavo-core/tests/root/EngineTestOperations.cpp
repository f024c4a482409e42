#include "EngineTestOperations.h"

#include <stdexcept>

#include "domain/NapSession.h"
#include "infrastructure/http/NapEndpoints.h"
#include "operations/IInquiry.h"
#include "operations/ISubmission.h"
#include "operations/OperationRegistry.h"
#include "operations/SubmissionResultInquiry.h"

namespace engine_test {

std::atomic<int> created{0};
std::function<void()> midway;

namespace {

using namespace tavo::core::operations;
using tavo::core::domain::NapSession;

template <class Base>
struct Named : Base {
    std::string displayName() const override { return "Тест " + this->typeId(); }
    std::string featureGroupId() const override { return "engine"; }
    std::string featureGroupName() const override { return "Engine tests"; }
    SubmissionChannel channel() const override { return SubmissionChannel::PlsLegacy; }
    AuthScheme authScheme() const override { return AuthScheme::NapPortalSession; }
};

struct Inquiry : Named<IInquiry> {
    std::vector<ParameterSpec> parameters() const override { return {}; }
};

struct Echo : Inquiry {
    std::string typeId() const override { return kEcho; }
    InquiryResult execute(NapSession&, const ParameterValues& params) override {
        InquiryResult r;
        for (const auto& [k, v] : params) r.metadata[k] = v;
        return r;
    }
};

FieldSpec field(const char* id, FieldType type) {
    FieldSpec f;
    f.id = id;
    f.type = type;
    return f;
}

struct StatusError : Inquiry {
    std::string typeId() const override { return kStatusError; }
    ResultSpec resultSchema() const override {
        return {"StatusErrorResult", {field("status", FieldType::String), field("error", FieldType::String)}};
    }
    InquiryResult execute(NapSession&, const ParameterValues&) override {
        InquiryResult r;
        r.metadata = {{"status", "error"}, {"error", "Няма данни"}};
        return r;
    }
};

struct Submission : Named<ISubmission> {
    PreflightResult validate(const std::string&) override { return {true, {}, {}}; }
};

struct Failed : Submission {
    std::string typeId() const override { return kFailedSubmission; }
    bool requiresFilePath() const override { return false; }
    SubmissionResult submit(NapSession&, const std::string&, const ParameterValues&) override {
        SubmissionResult r;
        r.errorMessage = "Отказано от агенцията";
        r.nativeErrors = {"E1"};
        return r;
    }
};

struct NeedsFile : Submission {
    std::string typeId() const override { return kNeedsFile; }
    SubmissionResult submit(NapSession&, const std::string& path, const ParameterValues&) override {
        SubmissionResult r;
        r.success = true;
        r.documentId = path;
        return r;
    }
};

struct Throws : Inquiry {
    std::string typeId() const override { return kThrows; }
    InquiryResult execute(NapSession&, const ParameterValues&) override { throw std::runtime_error("boom"); }
};

struct BadUtf8 : Submission {
    std::string typeId() const override { return kBadUtf8; }
    bool requiresFilePath() const override { return false; }
    SubmissionResult submit(NapSession&, const std::string&, const ParameterValues&) override {
        SubmissionResult r;
        r.success = true;
        r.incomeNumber = "\xC2\xF5-2024-1";  // Windows-1251 bytes: not UTF-8
        return r;
    }
};

struct Login : Inquiry {
    std::string typeId() const override { return kLogin; }
    InquiryResult execute(NapSession& session, const ParameterValues&) override {
        InquiryResult r;
        if (midway) midway();
        r.metadata["status"] = session.login() ? "ok" : "error";
        r.metadata["error"] = session.lastError();
        return r;
    }
};

struct Decl55 : Submission {
    std::string typeId() const override { return "engine_decl55"; }
    std::string categoryName() const override { return "Декларации по чл. 55"; }
    SubmissionResult submit(NapSession&, const std::string&, const ParameterValues&) override { return {}; }
};

struct Decl55Result : Named<SubmissionResultInquiry> {
    std::string typeId() const override { return kResult; }
    std::string displayName() const override { return "Резултат"; }
    std::string featureGroupId() const override { return SubmissionResultInquiry::featureGroupId(); }
    std::string featureGroupName() const override { return SubmissionResultInquiry::featureGroupName(); }
    SubmissionChannel channel() const override { return SubmissionResultInquiry::channel(); }
    AuthScheme authScheme() const override { return SubmissionResultInquiry::authScheme(); }
    std::string categoryName() const override { return "Декларации по чл. 55"; }
    std::unique_ptr<ISubmission> pairedSubmission() const override { return std::make_unique<Decl55>(); }
};

struct Reenter : Submission {
    std::string typeId() const override { return kReenter; }
    bool requiresFilePath() const override { return false; }
    SubmissionResult submit(NapSession& session, const std::string&, const ParameterValues&) override {
        SubmissionResult r;
        r.documentId = session.identity().certificateId;
        if (midway) midway();
        r.incomeNumber = session.identity().certificateId;
        r.success = true;
        return r;
    }
};

struct DirtyTexts : Submission {
    std::string typeId() const override { return kDirtyTexts; }
    bool requiresFilePath() const override { return false; }
    SubmissionResult submit(NapSession&, const std::string&, const ParameterValues&) override {
        SubmissionResult r;
        r.errorMessage = std::string("Отказ \xC2\xF5\0\nINFO forged", 26);
        return r;
    }
    SubmissionResult testFixture(const ParameterValues&) override {
        throw std::runtime_error("fixture \xFF\r\nINFO forged");
    }
};

template <class T>
bool add() {
    return OperationRegistry::instance().registerOperation(T().typeId(), [] {
        ++created;
        return std::make_unique<T>();
    });
}

const bool registered = add<Echo>() && add<StatusError>() && add<Failed>() && add<NeedsFile>() && add<Throws>() &&
                        add<BadUtf8>() && add<Login>() && add<Decl55Result>() && add<Reenter>() && add<DirtyTexts>();

}  // namespace
}  // namespace engine_test
