#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/Utf8.h"
#include "infrastructure/http/NapRestApiClient.h"
#include "operations/RestResultExecutor.h"
#include "operations/ResultProjection.h"

namespace http = tavo::core::infra::http;
namespace ops = tavo::core::operations;

// The first byte picks the status; the rest is the body. The answer goes the
// whole way to the payload: read, turned into the result fetch's metadata and
// the submitter's result, projected and serialised strictly (which throws on
// invalid UTF-8, so a broken text fails here).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static constexpr int kStatuses[] = {200, 201, 299, 0, 401, 404, 500, 302};
    int status = 200;
    if (size > 0) {
        status = kStatuses[data[0] % (sizeof kStatuses / sizeof kStatuses[0])];
        ++data;
        --size;
    }
    http::SendDeclarationResponse answer =
        http::readRestApiAnswer(status, std::string_view(reinterpret_cast<const char*>(data), size));
    if (answer.ok != !answer.documentId.empty()) std::abort();

    ops::InquiryResult inquiry =
        ops::readRestResult(answer, "https://api.nra.bg/declaration/api-declarations/result", "00123");
    std::string payload = ops::projectInquiry(ops::ResultSpec{}, inquiry).dump();
    if (!tavo::core::common::utf8::isValid(payload)) std::abort();
    auto statusIt = inquiry.metadata.find("status");
    if (statusIt == inquiry.metadata.end()) std::abort();
    if (statusIt->second == "ok" && inquiry.metadata.count("error")) std::abort();
    if (statusIt->second == "error" && !inquiry.metadata.count("error")) std::abort();

    ops::SubmissionResult submission;
    submission.success = answer.ok;
    submission.documentId = answer.documentId;
    submission.incomeNumber = answer.entryNumber;
    submission.submissionDate = answer.entryDate;
    submission.errorMessage = answer.error;
    payload = ops::projectSubmission(ops::ResultSpec{}, submission).dump();
    if (!tavo::core::common::utf8::isValid(payload)) std::abort();
    return 0;
}
