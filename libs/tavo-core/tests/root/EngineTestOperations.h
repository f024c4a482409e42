#pragma once

// Operations the engine tests register in the process-wide registry: the
// families of the product are not part of this library.
#include <atomic>
#include <functional>
#include <string>

namespace engine_test {

// How many operations the factories have created (registration included).
extern std::atomic<int> created;

// Type ids.
inline constexpr const char* kEcho = "engine_echo";                 // inquiry: metadata = parameters
inline constexpr const char* kStatusError = "engine_status_error";  // inquiry reporting status error
inline constexpr const char* kFailedSubmission = "engine_failed";   // submission refused by the agency
inline constexpr const char* kNeedsFile = "engine_needs_file";      // submission that needs a path
inline constexpr const char* kThrows = "engine_throws";             // inquiry that throws
inline constexpr const char* kBadUtf8 = "engine_bad_utf8";          // accepted filing with a Windows-1251 number
inline constexpr const char* kLogin = "engine_login";               // inquiry that logs the session in
inline constexpr const char* kResult = "engine_decl55_result";      // result inquiry of the portal's decl. 55
// Filing that runs midway halfway and reports the session's certificate
// before it (documentId) and after it (incomeNumber).
inline constexpr const char* kReenter = "engine_reenter";
// Refusal whose texts come from outside: invalid UTF-8, a NUL byte and a line
// break in its error, and in what its test fixture throws.
inline constexpr const char* kDirtyTexts = "engine_dirty_texts";

// What kReenter runs halfway through its filing, and kLogin before it logs
// in (nothing when empty).
extern std::function<void()> midway;

}  // namespace engine_test
