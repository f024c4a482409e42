#include "infrastructure/http/NapRestSubmitter.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <system_error>

#include "common/Files.h"
#include "common/Logger.h"
#include "common/Numbers.h"
#include "common/Utf8.h"
#include "domain/NapSession.h"
#include "infrastructure/http/HttpClientFactory.h"
#include "infrastructure/http/NapRestApiClient.h"
#include "infrastructure/signing/ISigner.h"

namespace tavo::core::infra::http {
namespace {

namespace fs = std::filesystem;
namespace files = common::files;
using domain::NapIdentifierType;
using operations::ParameterValues;
using operations::SubmissionResult;

// The leading integer as the C library's decimal conversion reads it (blanks,
// an optional sign, digits), independent of the locale; "4.000000" gives 4.
SubmissionResult failed(std::string message) {
    SubmissionResult r;
    r.errorMessage = std::move(message);
    return r;
}

// The wire carries sizes and record counts as unsigned 32-bit numbers.
constexpr uintmax_t kMaxWireNumber = std::numeric_limits<uint32_t>::max();
constexpr size_t kLoggedNameMax = 160;

std::string nameForLog(const std::string& path) {
    return common::utf8::escapeForLog(common::utf8::cut(path, kLoggedNameMax));
}

// Sizes and record counts that the request cannot carry, found before any file
// is read or signed: narrowed, they would file a declaration that says
// something else than its files. Empty when every file fits.
std::string numbersOutOfRange(const std::vector<NapRestSubmitter::FileInput>& files) {
    for (const NapRestSubmitter::FileInput& input : files) {
        if (input.numRecords < 0) {
            Logger::warn("NapRestSubmitter: record count " + std::to_string(input.numRecords) + " refused for " +
                         nameForLog(input.path));
            return "Record count out of range (" + std::to_string(input.numRecords) + "): " + input.path;
        }
        uintmax_t size = input.bytes.size();
        if (input.bytes.empty()) {
            std::error_code ec;
            if (fs::is_regular_file(fs::path(input.path), ec)) {
                uintmax_t onDisk = fs::file_size(fs::path(input.path), ec);
                if (!ec) size = onDisk;
            }
        }
        if (size > kMaxWireNumber) {
            Logger::warn("NapRestSubmitter: file of " + std::to_string(size) +
                         " bytes refused: " + nameForLog(input.path));
            return "File too large to submit (4 GiB or more): " + input.path;
        }
    }
    return {};
}

// Fills input.bytes from its file unless given; the message of the failure,
// or empty. The file is opened once and only a regular one is read (a folder,
// a device or a FIFO gives no bytes, and never blocks); it may have grown
// since its size was checked.
std::string readInput(NapRestSubmitter::FileInput& input) {
    if (input.path.empty()) return "File not found: " + input.path;
    if (input.bytes.empty()) {
        files::ReadOptions options;
        options.maxBytes = kMaxWireNumber;
        files::ReadResult read = files::readRegularFile(input.path, options);
        if (read.error == files::ReadError::NotFound) return "File not found: " + input.path;
        if (read.error == files::ReadError::TooLarge) return "File too large to submit (4 GiB or more): " + input.path;
        input.bytes = std::move(read.bytes);
    } else {
        std::error_code ec;
        if (!fs::exists(fs::path(input.path), ec)) return "File not found: " + input.path;
    }
    if (input.bytes.empty()) return "Cannot read file or file is empty: " + input.path;
    if (input.bytes.size() > kMaxWireNumber) return "File too large to submit (4 GiB or more): " + input.path;
    return {};
}

// What refuses the filing before any file is read or signed; empty when
// nothing does. The path reaches the messages and the name the request, both
// of which must be UTF-8.
std::string refusedBeforeReading(const std::vector<NapRestSubmitter::FileInput>& files) {
    if (files.empty()) return "No files to submit";
    for (const NapRestSubmitter::FileInput& input : files)
        if (!common::utf8::isValid(input.path))
            return "File name is not valid UTF-8: " + common::utf8::makeValid(input.path);
    return numbersOutOfRange(files);
}

// Reads and signs every file into the request, in order; the message of the
// first failure, or empty.
std::string signFiles(signing::ISigner& signer, const domain::SenderIdentity& identity, domain::FileType fileType,
                      std::vector<NapRestSubmitter::FileInput>& files, SendDeclarationRequest& request) {
    for (NapRestSubmitter::FileInput& input : files) {
        if (std::string refused = readInput(input); !refused.empty()) return refused;

        std::vector<uint8_t> signature;
        try {
            signature = signer.signData(input.bytes, identity.certificateId, "");
        } catch (const std::exception& e) {
            return std::string("Signing failed: ") + common::utf8::makeValid(e.what());
        }
        if (signature.empty()) return "Empty signature (user may have cancelled)";

        SignedFile file;
        file.fileName = fs::path(input.path).filename().string();
        file.fileType = fileType;
        file.fileSize = static_cast<uint32_t>(input.bytes.size());
        // The bytes signed are the bytes sent: moved, never read again.
        file.content = std::move(input.bytes);
        file.pkcs7 = std::move(signature);
        file.fileDocumentType = static_cast<domain::FileDocumentType>(input.form);
        file.numRecords = static_cast<uint32_t>(input.numRecords);
        request.files.push_back(std::move(file));
    }
    return {};
}

// The sender is the certificate's holder; the taxpayer is named by the
// parameters ("eik", else "taxpayerPin") or is the sender, and its type comes
// from the sender, the session's taxpayer list or the number of digits.
void fillTaxpayer(domain::NapSession& session, const domain::SenderIdentity& identity, const ParameterValues& params,
                  SendDeclarationRequest& request) {
    request.userPin = identity.identifier;
    request.userPinType = identity.identifierType;
    if (params.count("eik"))
        request.taxpayerPin = params.at("eik");
    else if (params.count("taxpayerPin"))
        request.taxpayerPin = params.at("taxpayerPin");
    else
        request.taxpayerPin = identity.identifier;

    if (request.taxpayerPin == identity.identifier) {
        request.taxpayerPinType = identity.identifierType;
        return;
    }
    for (const domain::TaxpayerInfo& t : session.listTaxpayers()) {
        if (t.pin == request.taxpayerPin) {
            request.taxpayerPinType = t.pinType;
            return;
        }
    }
    request.taxpayerPinType = domain::identifierTypeFromDigitCount(request.taxpayerPin);
}

// The period as given, else the month as both ends; the year as given.
void fillPeriod(const ParameterValues& params, SendDeclarationRequest& request) {
    request.taxPeriodFrom = params.getOr("taxPeriodFrom", "");
    request.taxPeriodTo = params.getOr("taxPeriodTo", "");
    if (request.taxPeriodFrom.empty() || request.taxPeriodTo.empty()) {
        std::optional<int32_t> month = common::leadingInt(params.getOr("month", ""));
        if (month && *month >= 1 && *month <= 12) {
            std::string twoDigits = (*month < 10 ? "0" : "") + std::to_string(*month);
            request.taxPeriodFrom = twoDigits;
            request.taxPeriodTo = twoDigits;
        }
    }
    request.year = params.getOr("year", "");
}

// The agency's answer as the caller's result. Once the agency has given a
// document id the declaration is filed: nothing here may turn that into a
// failure, or the user files twice.
SubmissionResult resultOf(SendDeclarationResponse response, const SendDeclarationRequest& request) {
    SubmissionResult result;
    result.success = response.ok;
    result.documentId = std::move(response.documentId);
    try {
        result.incomeNumber = std::move(response.entryNumber);
        result.submissionDate = std::move(response.entryDate);
        result.errorMessage = std::move(response.error);
        if (result.success) {
            std::string names;
            for (const SignedFile& file : request.files)
                names += (names.empty() ? "" : ", ") + nameForLog(file.fileName);
            Logger::info("NapRestSubmitter: filed as document " + common::utf8::escapeForLog(result.documentId) + ": " +
                         names);
        }
    } catch (const std::exception& e) {
        if (!result.success) throw;
        Logger::error(
            "NapRestSubmitter: document " + common::utf8::escapeForLog(result.documentId) +
            " was accepted, but reading the rest of the answer failed: " + common::utf8::escapeForLog(e.what()));
    }
    return result;
}

}  // namespace

NapRestSubmitter::NapRestSubmitter(domain::NapSession& session, signing::ISigner& signer, std::string submitUrl,
                                   std::string resultUrl, std::string apiKey, Config config)
    : session_(session),
      signer_(signer),
      submitUrl_(std::move(submitUrl)),
      resultUrl_(std::move(resultUrl)),
      apiKey_(std::move(apiKey)),
      config_(config) {}

SubmissionResult NapRestSubmitter::submit(const std::string& path, const ParameterValues& params) {
    FileInput input;
    input.path = path;
    input.form = static_cast<int32_t>(config_.fileDocumentType);
    return submit(std::vector<FileInput>{std::move(input)}, params);
}

SubmissionResult NapRestSubmitter::submit(std::vector<FileInput> files, const ParameterValues& params) {
    if (std::string refused = refusedBeforeReading(files); !refused.empty()) return failed(std::move(refused));
    const domain::SenderIdentity identity = session_.identity();
    if (identity.certificateId.empty()) return failed("No certificate selected");

    SendDeclarationRequest request;
    request.userSignature = signer_.getCertificateDer(identity.certificateId);
    if (std::string refused = signFiles(signer_, identity, config_.fileType, files, request); !refused.empty())
        return failed(std::move(refused));
    request.serviceDocumentType = config_.serviceDocumentType;
    fillTaxpayer(session_, identity, params, request);
    if (config_.periodFromParams) fillPeriod(params, request);
    const std::string fund = params.getOr("fund", "");
    request.insuranceFund = (fund == "true" || fund == "1") ? 1 : 0;

    // Copies: the submitter keeps its addresses and key for a later submit.
    std::unique_ptr<HttpClient> http = HttpClientFactory::forNapRestApi(submitUrl_);
    NapRestApiClient client(*http, submitUrl_, resultUrl_, apiKey_);
    SendDeclarationResponse response = client.submit(request);
    return resultOf(std::move(response), request);
}

}  // namespace tavo::core::infra::http
