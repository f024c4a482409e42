#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "operations/OperationTypes.h"

namespace tavo::core::operations {

// The request's JSON parameters as text values: strings as they are, numbers
// as the six-decimal text of a double ("2024.000000", whatever the process
// locale), true/false as "true"/"false"; null, arrays and objects skipped; a
// non-object gives no parameters. Empty text counts as "{}". No value and the
// parser's message in error when the text is not strict JSON.
std::optional<ParameterValues> flattenParameters(std::string_view json, std::string* error);

// The six-decimal text of a double, as "%f" gives it in the C locale.
std::string sixDecimals(double value);

}  // namespace tavo::core::operations
