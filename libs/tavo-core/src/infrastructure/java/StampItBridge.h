#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "infrastructure/java/PipeRunner.h"

namespace tavo::signing {
class ISigner;
}

namespace tavo::stampit {

// The bridge's own record of one submission through the applet.
struct SubmissionResult {
    bool success = false;
    std::string errorMessage;
    std::string output;  // the run's transcript, one line feed after each line
    std::vector<std::string> nativeErrors;
};

// Makes the agency's StampIT applet usable from the agent: finds Java, keeps
// the applet's files in the per-user cache, and runs our wrapper class
// TavoVatUploader to validate or file a folder of VAT files, answering the
// applet's signing requests with the agent's signer. Calls on one bridge are
// serialised: the VAT operations and the validation route share it.
class StampItBridge {
public:
    using Fetcher = std::function<std::vector<uint8_t>(const std::string& url)>;
    using Progress = std::function<void(const std::string&)>;

    StampItBridge();
    ~StampItBridge();
    StampItBridge(const StampItBridge&) = delete;
    StampItBridge& operator=(const StampItBridge&) = delete;

    void setFetcher(Fetcher fetcher);

    // The limits every later child of this bridge runs under (line length,
    // a child that stops reading its replies, the drain after it exits).
    void setRunnerLimits(const PipeRunner::Limits& limits);

    bool ensureInstalled(const Progress& progress);

    std::vector<std::string> validate(const std::string& folder, const Progress& progress);

    SubmissionResult submit(const std::string& folder, signing::ISigner& signer, const std::string& signerCertId,
                            const std::string& signerEmail, const std::string& encryptionCertBase64,
                            const std::string& iban, const Progress& progress);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The pure pieces of the line contract, shared by the bridge, its tests and
// its fuzz target.
namespace bridge_lines {

// Blanks, tabs, carriage returns and line feeds removed at both ends.
std::string trim(std::string_view text);

// Validation output that is the applet's chatter rather than an error.
bool isTechnicalLine(std::string_view trimmedLine);

// Six bits per Base64 character up to the first character outside the
// alphabet; leftover bits are dropped.
std::vector<uint8_t> b64Decode(std::string_view text);

// The validation errors of a failed run (exit code not 0): distinct
// non-technical output lines, else up to ten error-stream lines, else the
// exit-code message.
std::vector<std::string> collectValidationErrors(const std::vector<std::string>& outputLines,
                                                 std::string_view errorText, int exitCode);

// What the submission has learnt from the wrapper's standard output.
struct SubmitOutputState {
    std::string errorMessage;
    // The first agency errors, each cut to kMaxNativeErrorBytes, at most
    // kMaxNativeErrors of them and kMaxNativeErrorsBytes in all; the ones
    // after are only counted.
    std::vector<std::string> nativeErrors;
    std::size_t nativeErrorsBytes = 0;
    std::size_t nativeErrorsLeftOut = 0;
};

inline constexpr std::size_t kMaxNativeErrors = 100;
inline constexpr std::size_t kMaxNativeErrorBytes = 4096;
inline constexpr std::size_t kMaxNativeErrorsBytes = std::size_t{64} * 1024;

// Once the run has ended: a last entry that says how many agency errors
// were left out, when any were.
void noteLeftOutNativeErrors(SubmitOutputState& state);

// Messages for what the wrapper reported without words of its own.
inline constexpr const char* kErrorWithoutText = "Подаването към НАП завърши с грешка без описание.";
inline constexpr const char* kNativeErrorWithoutText = "НАП върна грешка без описание.";
inline constexpr const char* kSigningFailed = "Подписването беше отказано или не успя. Декларацията не е подадена.";

// The submission's verdict once the wrapper has ended: only exit code 0
// with no error line, no agency error and every signing request answered
// with a signature is a success.
struct SubmitOutcome {
    bool success = false;
    std::string errorMessage;  // empty on success
};
SubmitOutcome decideSubmitOutcome(int exitCode, const SubmitOutputState& state, std::size_t unsignedRequests);

// What one standard output line asks of the bridge.
struct OutputLineEffect {
    std::optional<std::string> progress;
    bool signRequest = false;
    std::vector<uint8_t> toSign;  // for a signing request
};
OutputLineEffect readSubmitOutputLine(const std::string& line, SubmitOutputState& state);

// What one standard error line of a submission asks of the bridge: progress
// text for a line with the progress marker, else the line joins the transcript.
struct ErrorLineEffect {
    std::optional<std::string> progress;
    bool toTranscript = false;
};
ErrorLineEffect readSubmitErrorLine(const std::string& line);

// The wrapper's arguments after the java program; mode "validate" or "pipe"
// (only pipe takes the e-mail, the certificate and a non-empty IBAN).
std::vector<std::string> wrapperArguments(const std::string& nativeDir, const std::string& wrapperDir,
                                          const std::vector<std::string>& jarPaths, const std::string& mode,
                                          const std::string& signerEmail, const std::string& encryptionCertBase64,
                                          const std::string& iban);

// True when the folder could not travel on the one "DIR:" line.
bool folderBreaksLine(std::string_view folder);

}  // namespace bridge_lines

}  // namespace tavo::stampit
