#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "domain/NapIdentifiers.h"
#include "operations/OperationTypes.h"

namespace tavo::signing {
class ISigner;
}
namespace tavo::core::domain {
class NapSession;
}

namespace tavo::core::infra::http {

// Files one declaration through the public REST API: reads and signs each
// file, works out the taxpayer and the period from the parameters and sends
// it. Every failure comes back in the result, nothing sent.
class NapRestSubmitter {
public:
    struct Config {
        domain::DocumentType serviceDocumentType = domain::DocumentType::UNKNOWN;
        domain::FileDocumentType fileDocumentType = domain::FileDocumentType::UNKNOWN;  // one-path form only
        domain::FileType fileType = domain::FileType::XML;
        bool periodFromParams = false;
    };

    struct FileInput {
        std::string path;
        int32_t form = 0;            // a FileDocumentType code
        int32_t numRecords = 0;      // 0 when not counted
        std::vector<uint8_t> bytes;  // read from path when empty
    };

    // The session and the signer are lent and must outlive the submitter.
    NapRestSubmitter(domain::NapSession& session, signing::ISigner& signer, std::string submitUrl,
                     std::string resultUrl, std::string apiKey, Config config);

    operations::SubmissionResult submit(const std::string& path, const operations::ParameterValues& params);
    operations::SubmissionResult submit(std::vector<FileInput> files, const operations::ParameterValues& params);

private:
    domain::NapSession& session_;
    signing::ISigner& signer_;
    std::string submitUrl_;
    std::string resultUrl_;
    std::string apiKey_;
    Config config_;
};

}  // namespace tavo::core::infra::http
