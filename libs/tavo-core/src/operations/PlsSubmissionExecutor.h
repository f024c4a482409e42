#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "operations/ISubmission.h"
#include "operations/OperationTypes.h"

namespace tavo::core::domain {
class NapSession;
}

namespace tavo::core::operations {

// Files one declaration file through the portal's PL/SQL upload form:
// prepares the session, reads and normalises the file, gzips it, signs the
// normalised bytes with the sender's certificate, posts the form, reads the
// agency's verdict and, once accepted, looks the new document up in the
// operation's listing. Failures come back as values; only exceptions of the
// session or the operation other than the signer's pass through.
SubmissionResult executePlsSubmission(domain::NapSession& session, ISubmission& submission, const std::string& filePath,
                                      const ParameterValues& params);

// The network-free pieces, for tests and fuzz targets.
namespace upload {

struct Verdict {
    bool success = false;
    std::string documentId;
    std::string errorMessage;  // valid UTF-8
};

// The agency's answer to the upload form: status and page (UTF-8, see
// pageAsUtf8). The words are read in the page's visible text, a negated
// acceptance ("неуспешно", "не е приет", "unsuccessful" ...) counts as a
// refusal and refusals win; the pid is read from the whole page. Status 0 (the
// answer was lost in transport) is an unknown outcome, never a refusal.
Verdict readVerdict(int status, std::string_view body);

// The answer page as UTF-8: a page declared Windows-1251 (by its Content-Type
// header, else by a meta tag) converted; an undeclared page that is not UTF-8
// read as Windows-1251, the portal's legacy charset; other invalid bytes
// replaced.
std::string pageAsUtf8(std::string_view body, std::string_view contentType);

// "YYYY-MM-DDTHH:MM" of a listing's date text ("05.03.2024 9:07",
// "2024-03-05 09:07:00"; a date alone reads as its first minute); none for
// anything else.
std::optional<std::string> listingMinute(const std::string& text);

// Group 1 of the first match of pid[=:]\s*["']?(\d+) where no letter, digit
// or underscore stands before "pid", letter case ignored, or empty; linear in
// the input.
std::string findPid(std::string_view html);

// ASCII and the 32 basic Cyrillic capitals lower-cased in UTF-8; every other
// byte kept.
std::string lowerCaseCopy(std::string text);

// A leading UTF-8 byte-order mark dropped; LF, CR and CR LF each become CR LF.
void normaliseLineEnds(std::vector<uint8_t>& bytes);

// The whole content of a regular file, to its end; nothing for anything else
// (a folder, a device, a pipe) or on a read error.
std::optional<std::vector<uint8_t>> readRegularFile(const std::string& path);

// Names of the cookies in Netscape cookie-file lines; values never leave.
std::vector<std::string> cookieNames(std::string_view cookieFile);

// The minute the upload started, "YYYY-MM-DDTHH:MM" in Sofia time as the
// listing dates its rows, read from the portal's clock: the Date of its answer
// (portalDate) less the time the upload took here, as this machine's clock
// may be minutes or days off. This machine's clock at the start
// (machineStart) only when the answer carries no usable Date.
std::string uploadStartMinute(std::string_view portalDate, std::chrono::steady_clock::duration took,
                              std::time_t machineStart);

// Index of the listing row describing the new filing; none when no row may be
// taken. The row carrying documentId is taken; a row carrying another
// filing's document id never is; otherwise the first row is taken only when
// its date (cell 4) is not earlier than uploadMinute ("YYYY-MM-DDTHH:MM",
// Sofia time, the listing's own zone).
std::optional<size_t> chooseRow(const std::vector<std::vector<std::string>>& rows, const std::string& documentId,
                                std::string_view uploadMinute);

}  // namespace upload

}  // namespace tavo::core::operations
