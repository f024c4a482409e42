#pragma once

#include <string_view>

#include <nlohmann/json.hpp>

#include "operations/OperationTypes.h"

// Turns an operation's untyped result into the typed JSON its ResultSpec
// promises. Objects keep their members in ascending byte order of the names.
namespace tavo::core::operations {

// Always an object: the generic envelope (columns, rows, metadata) when the
// schema has no fields, else one member per field.
nlohmann::json projectInquiry(const ResultSpec& spec, const InquiryResult& result);
nlohmann::json projectSubmission(const ResultSpec& spec, const SubmissionResult& result);

// One text value as its field's JSON type; numbers are read independently of
// the process locale.
nlohmann::json stringToTyped(std::string_view text, const FieldSpec& field);

}  // namespace tavo::core::operations
