#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace tavo::core {

struct OperationInfo {
    std::string typeId;
    std::string displayName;
    std::string category;
    bool isSubmission = false;
    bool requiresEik = false;
};

struct ExecuteResult {
    bool ok = false;
    std::string error;
    std::string payload;
};

}  // namespace tavo::core

namespace tavo::core::operations {

enum class ParameterType : uint32_t {
    String = 0,
    Integer = 1,
    Decimal = 2,
    Date = 3,
    Month = 4,
    Year = 5,
    Boolean = 6,
    Eik = 7,
    Enum = 8,
};

// Wire name of a parameter type ("string" ... "enum"); "string" for unknown codes.
const char* toString(ParameterType type);

enum class FieldType : uint32_t {
    String = 0,
    Integer = 1,
    Number = 2,
    Date = 3,
    DateTime = 4,
    Boolean = 5,
    Enum = 6,
    ArrayOfScalars = 7,
    ArrayOfObjects = 8,
};

enum class OperationKind : int { Submission = 0, Inquiry = 1 };

enum class AuthScheme : uint32_t {
    Unknown = 0,
    None = 1,
    PlsSignature = 2,
    NapPortalSession = 3,
    NapApiKey = 4,
    StampItCertEmail = 5,
    PikLogin = 6,
    LocalKepConsent = 7,
};

enum class SubmissionChannel : uint32_t {
    Unknown = 0,
    PlsLegacy = 1,
    NapRestApi = 2,
    StampIt = 3,
    Browser = 4,
};

const char* toString(AuthScheme scheme);
AuthScheme authSchemeFromString(const std::string& text);
const char* toString(SubmissionChannel channel);
SubmissionChannel submissionChannelFromString(const std::string& text);

struct ParameterSpec {
    std::string name;
    std::string label;
    ParameterType type = ParameterType::String;
    bool required = false;
    std::optional<std::string> defaultValue;
    std::vector<std::string> allowedValues;
    std::string description;
};

class ParameterValues : public std::unordered_map<std::string, std::string> {
public:
    using std::unordered_map<std::string, std::string>::unordered_map;

    // The stored value when the key is present (even when empty), else fallback.
    std::string getOr(const std::string& key, const std::string& fallback) const {
        auto it = find(key);
        return it == end() ? fallback : it->second;
    }
};

struct FieldSpec {
    std::string id;
    std::string label;
    FieldType type = FieldType::String;
    bool nullable = false;
    std::string description;
    std::vector<std::string> enumValues;
    std::string itemSchemaName;
    std::vector<FieldSpec> itemFields;
};

struct ResultSpec {
    std::string name;
    std::vector<FieldSpec> fields;
};

struct ColumnSpec {
    std::string id;
    std::string label;
};

struct InquiryResult {
    std::vector<ColumnSpec> columns;
    std::vector<std::vector<std::string>> rows;
    std::unordered_map<std::string, std::string> metadata;
    std::optional<std::vector<uint8_t>> binaryPayload;
    std::string rawBody;
    std::string rawBodyContentType;
    std::string rawBodyUrl;
};

struct SubmissionResult {
    bool success = false;
    std::string incomeNumber;
    std::string documentId;
    std::string submissionDate;
    std::string errorMessage;
    std::vector<std::string> nativeErrors;
    std::string rawBody;
    std::string rawBodyContentType;
    std::string rawBodyUrl;
};

struct ResultsFilter {
    std::string eik;
    std::optional<int32_t> year;
    std::optional<int32_t> month;
    bool flag = false;
};

struct PreflightResult {
    bool ok = false;
    std::vector<std::string> errors;
    std::vector<std::string> notes;
};

}  // namespace tavo::core::operations
