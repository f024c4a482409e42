#include "infrastructure/java/StampItBridge.h"

#include <sys/stat.h>

#include <array>
#include <chrono>
#include <exception>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>

#include "common/Base64.h"
#include "common/Files.h"
#include "common/Logger.h"
#include "common/Paths.h"
#include "common/Utf8.h"
#include "infrastructure/java/BitnessDetector.h"
#include "infrastructure/java/JavaFinder.h"
#include "infrastructure/java/JnlpDownloader.h"
#include "infrastructure/java/PipeRunner.h"
#include "infrastructure/signing/ISigner.h"

namespace fs = std::filesystem;

namespace tavo::stampit {
namespace {

namespace files = core::common::files;

constexpr std::array<const char*, 3> kJarNames = {"VATClientService.jar", "SignerService.jar", "LSManager.jar"};
constexpr const char* kWrapperClassFile = "TavoVatUploader.class";
constexpr const char* kWrapperClassName = "TavoVatUploader";
constexpr std::string_view kProgressMarker = "Прогрес: ";
constexpr std::string_view kBlanks = " \t\r\n";

constexpr const char* kNotAvailable = "Java или StampIT библиотеките не са налични.";
constexpr const char* kStartFailed = "Неуспешно стартиране на Java процеса.";
// A line break in the folder would end the "DIR:" line early and let the
// rest of the path pass as protocol lines of its own (a forged "SIGNATURE:").
constexpr const char* kFolderHasLineBreak =
    "Пътят до папката с ДДС файловете съдържа знак за нов ред и не може да бъде използван.";

// What a run keeps of a chatty child: the first lines and bytes, enough to
// show the user and the log; the rest is counted, not stored.
constexpr size_t kMaxKeptLines = 1000;
constexpr size_t kMaxKeptTextBytes = size_t{1024} * 1024;

// Lines joined with a line feed after each, up to a byte cap; a line that
// would pass the cap and every line after it are left out.
class BoundedText {
public:
    void appendLine(const std::string& line) {
        if (full_ || text_.size() + line.size() + 1 > kMaxKeptTextBytes) {
            full_ = true;
            return;
        }
        text_ += line;
        text_ += '\n';
    }
    const std::string& text() const { return text_; }
    std::string take() { return std::move(text_); }

private:
    std::string text_;
    bool full_ = false;
};

bool exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::status(path, ec));
}

std::string joinPath(const std::string& dir, const std::string& name) {
    return (fs::path(dir) / name).string();
}

std::string joinClasspath(const std::vector<std::string>& entries) {
    std::string out;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i) out += ':';
        out += entries[i];
    }
    return out;
}

// A caller's progress callback must not end a run half-way: what it throws is logged.
void report(const StampItBridge::Progress& progress, const std::string& text) {
    if (!progress) return;
    try {
        progress(text);
    } catch (const std::exception& e) {
        Logger::warn(std::string("StampIT: progress callback threw: ") + e.what());
    } catch (...) {
        Logger::warn("StampIT: progress callback threw");
    }
}

// What one run of the wrapper may put into the log: each line escaped and cut
// to a prefix, up to a total; what is left out is counted and reported in one
// closing line.
class LogBudget {
public:
    static constexpr size_t kLineBytes = 2048;
    static constexpr size_t kRunBytes = size_t{256} * 1024;

    void line(const char* label, std::string_view text) {
        if (used_ >= kRunBytes) return leaveOut(1, text.size());
        const std::string prefix = core::common::utf8::cut(text, kLineBytes);
        leaveOut(0, text.size() - prefix.size());
        const std::string shown = core::common::utf8::escapeForLog(prefix);
        used_ += shown.size();
        Logger::info(label + shown);
    }

    void leaveOut(size_t lines, size_t bytes) {
        leftOutLines_ += lines;
        leftOutBytes_ += bytes;
    }

    // The closing line, when anything was cut or left out.
    void close(const char* who) const {
        if (leftOutLines_ == 0 && leftOutBytes_ == 0) return;
        Logger::info(std::string(who) +
                     ": the log holds only part of the wrapper's output: " + std::to_string(leftOutLines_) +
                     " line(s) left out, " + std::to_string(leftOutBytes_) + " byte(s) not logged");
    }

    // The error text's non-empty lines.
    void errorLines(const std::string& errorText) {
        size_t from = 0;
        while (from < errorText.size()) {
            size_t lf = errorText.find('\n', from);
            if (lf == std::string::npos) lf = errorText.size();
            if (lf > from) line("  [stderr] ", std::string_view(errorText).substr(from, lf - from));
            from = lf + 1;
        }
    }

private:
    size_t used_ = 0;
    size_t leftOutLines_ = 0;
    size_t leftOutBytes_ = 0;
};

// Error lines kept as BoundedText keeps them, with a count of what was left
// out for the log's closing line.
class CountedText {
public:
    void appendLine(const std::string& line) {
        const size_t before = text_.text().size();
        text_.appendLine(line);
        if (text_.text().size() != before) return;
        ++droppedLines_;
        droppedBytes_ += line.size() + 1;
    }
    const std::string& text() const { return text_.text(); }
    size_t droppedLines() const { return droppedLines_; }
    size_t droppedBytes() const { return droppedBytes_; }

private:
    BoundedText text_;
    size_t droppedLines_ = 0;
    size_t droppedBytes_ = 0;
};

// The validation run's output lines: the first ones up to a count and a byte
// cap (a line that would pass it and every line after it are left out), and
// how many there were in all.
class KeptLines {
public:
    void add(const std::string& line) {
        ++count_;
        if (full_ || lines_.size() >= kMaxKeptLines || bytes_ + line.size() + 1 > kMaxKeptTextBytes) {
            full_ = true;
            droppedBytes_ += line.size() + 1;
            return;
        }
        bytes_ += line.size() + 1;
        lines_.push_back(line);
    }
    const std::vector<std::string>& lines() const { return lines_; }
    size_t count() const { return count_; }
    size_t droppedLines() const { return count_ - lines_.size(); }
    size_t droppedBytes() const { return droppedBytes_; }

private:
    std::vector<std::string> lines_;
    size_t count_ = 0;
    size_t bytes_ = 0;
    size_t droppedBytes_ = 0;
    bool full_ = false;
};

void logValidationRun(int code, const KeptLines& outputLines, const CountedText& errorLines) {
    Logger::info("StampIT validate: exit=" + std::to_string(code) + " stdout_lines=" +
                 std::to_string(outputLines.count()) + " stderr_bytes=" + std::to_string(errorLines.text().size()));
    LogBudget budget;
    for (const std::string& line : outputLines.lines()) budget.line("  [stdout] ", line);
    budget.leaveOut(outputLines.droppedLines(), outputLines.droppedBytes());
    budget.errorLines(errorLines.text());
    budget.leaveOut(errorLines.droppedLines(), errorLines.droppedBytes());
    budget.close("StampIT validate");
}

}  // namespace

namespace bridge_lines {

std::string trim(std::string_view text) {
    size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    size_t last = text.find_last_not_of(kBlanks);
    return std::string(text.substr(first, last - first + 1));
}

bool isTechnicalLine(std::string_view trimmedLine) {
    static constexpr std::array<std::string_view, 6> prefixes = {"bcEncrypt",  "EncryptInit", "loadEncCert",
                                                                 "parsefiles", "maxProgress", "stat:"};
    for (std::string_view p : prefixes)
        if (trimmedLine.starts_with(p)) return true;
    return false;
}

std::vector<uint8_t> b64Decode(std::string_view text) {
    static const std::array<int8_t, 256> table = [] {
        std::array<int8_t, 256> t{};
        t.fill(-1);
        constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (size_t i = 0; i < alphabet.size(); ++i)
            t[static_cast<unsigned char>(alphabet[i])] = static_cast<int8_t>(i);
        return t;
    }();
    std::vector<uint8_t> out;
    out.reserve(text.size() / 4 * 3 + 3);
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        int8_t v = table[static_cast<unsigned char>(c)];
        if (v < 0) break;
        bits = (bits << 6) | static_cast<uint32_t>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<uint8_t>((bits >> count) & 0xFF));
        }
    }
    return out;
}

std::vector<std::string> collectValidationErrors(const std::vector<std::string>& outputLines,
                                                 std::string_view errorText, int exitCode) {
    std::vector<std::string> errors;
    for (const std::string& line : outputLines) {
        std::string t = trim(line);
        if (t.empty() || isTechnicalLine(t)) continue;
        bool seen = false;
        for (const std::string& e : errors)
            if (e == t) {
                seen = true;
                break;
            }
        if (!seen) errors.push_back(std::move(t));
    }
    if (errors.empty()) {
        size_t from = 0;
        while (from < errorText.size() && errors.size() < 10) {
            size_t lf = errorText.find('\n', from);
            if (lf == std::string_view::npos) lf = errorText.size();
            std::string t = trim(errorText.substr(from, lf - from));
            if (!t.empty()) errors.push_back(std::move(t));
            from = lf + 1;
        }
    }
    if (errors.empty())
        errors.push_back("Валидацията се провали (код " + std::to_string(exitCode) +
                         "). Виж TavoAgentC.log за пълен изход от Java.");
    return errors;
}

namespace {

// The error text of a "NATIVE_ERROR:" line, trimmed and cut to its cap.
std::string nativeErrorText(std::string_view rest) {
    const size_t first = rest.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return kNativeErrorWithoutText;
    rest.remove_prefix(first);
    return trim(core::common::utf8::cut(rest, kMaxNativeErrorBytes));
}

void keepNativeError(SubmitOutputState& state, std::string text) {
    if (state.nativeErrorsLeftOut > 0 || state.nativeErrors.size() >= kMaxNativeErrors ||
        state.nativeErrorsBytes + text.size() > kMaxNativeErrorsBytes) {
        ++state.nativeErrorsLeftOut;
        return;
    }
    state.nativeErrorsBytes += text.size();
    state.nativeErrors.push_back(std::move(text));
}

}  // namespace

void noteLeftOutNativeErrors(SubmitOutputState& state) {
    if (state.nativeErrorsLeftOut == 0) return;
    state.nativeErrors.push_back("Още " + std::to_string(state.nativeErrorsLeftOut) + " грешки от НАП не са показани.");
    state.nativeErrorsLeftOut = 0;
}

OutputLineEffect readSubmitOutputLine(const std::string& line, SubmitOutputState& state) {
    OutputLineEffect effect;
    std::string_view view(line);
    if (view.empty()) return effect;
    if (view.starts_with("SIGN:")) {
        effect.progress = "Подписване с електронен подпис…";
        effect.signRequest = true;
        std::string_view payload = view.substr(5);
        size_t last = payload.find_last_not_of(kBlanks);
        payload = last == std::string_view::npos ? std::string_view{} : payload.substr(0, last + 1);
        effect.toSign = b64Decode(payload);
    } else if (view.starts_with("NATIVE_ERROR:")) {
        std::string text = nativeErrorText(view.substr(13));
        effect.progress = "Грешка от НАП: " + text;
        keepNativeError(state, std::move(text));
    } else if (view.starts_with("SUCCESS")) {
        effect.progress = "Успешно подадено.";
    } else if (view.starts_with("ERROR:")) {
        // An error line without words still fails the submission; it does
        // not wipe out words an earlier one gave.
        std::string text = trim(view.substr(6));
        if (!text.empty())
            state.errorMessage = std::move(text);
        else if (state.errorMessage.empty())
            state.errorMessage = kErrorWithoutText;
    }
    return effect;
}

SubmitOutcome decideSubmitOutcome(int exitCode, const SubmitOutputState& state, std::size_t unsignedRequests) {
    SubmitOutcome outcome;
    outcome.success =
        exitCode == 0 && state.errorMessage.empty() && state.nativeErrors.empty() && unsignedRequests == 0;
    if (outcome.success) return outcome;
    if (!state.errorMessage.empty())
        outcome.errorMessage = state.errorMessage;
    else if (unsignedRequests > 0)
        outcome.errorMessage = kSigningFailed;
    else if (!state.nativeErrors.empty())
        outcome.errorMessage = state.nativeErrors.front();
    else
        outcome.errorMessage = "Процесът завърши с код " + std::to_string(exitCode);
    return outcome;
}

ErrorLineEffect readSubmitErrorLine(const std::string& line) {
    ErrorLineEffect effect;
    size_t at = line.find(kProgressMarker);
    if (at == std::string::npos) {
        effect.toTranscript = true;
    } else {
        effect.progress = line.substr(at + kProgressMarker.size());
    }
    return effect;
}

std::vector<std::string> wrapperArguments(const std::string& nativeDir, const std::string& wrapperDir,
                                          const std::vector<std::string>& jarPaths, const std::string& mode,
                                          const std::string& signerEmail, const std::string& encryptionCertBase64,
                                          const std::string& iban) {
    std::vector<std::string> classpath;
    classpath.push_back(Paths::toShortPath(wrapperDir));
    classpath.insert(classpath.end(), jarPaths.begin(), jarPaths.end());
    std::vector<std::string> args = {"-Djava.awt.headless=true",
                                     "-Dfile.encoding=UTF-8",
                                     "-Djava.library.path=" + Paths::toShortPath(nativeDir),
                                     "-cp",
                                     joinClasspath(classpath),
                                     kWrapperClassName,
                                     mode};
    if (mode == "pipe") {
        args.push_back(signerEmail);
        args.push_back(encryptionCertBase64);
        if (!iban.empty()) args.push_back(iban);
    }
    return args;
}

bool folderBreaksLine(std::string_view folder) {
    return folder.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace bridge_lines

struct StampItBridge::Impl {
    // Installation, validation and submission share the cache and the state
    // below; one call at a time.
    std::mutex callMutex;

    std::string javaPath;
    bool is64Bit = false;
    Arch arch = Arch::Unknown;
    std::vector<std::string> jarPaths;
    std::string nativeDir;
    std::string wrapperDir;
    Fetcher fetcher;
    PipeRunner::Limits runnerLimits;

    bool ensureInstalledLocked(const Progress& progress);
    // The installation's steps, in order.
    bool findJava();
    bool prepareCache();
    bool installWrapperClass();
    bool downloadApplet(const Progress& progress, const std::string& libPath);
    // Appends the archives present in the cache; false when one is missing.
    bool collectJars(const char* missingPrefix, bool fullPathInLog);
};

bool StampItBridge::Impl::collectJars(const char* missingPrefix, bool fullPathInLog) {
    jarPaths.clear();
    bool allThere = true;
    const std::string root = Paths::stampitRoot();
    for (const char* name : kJarNames) {
        std::string path = joinPath(root, name);
        // A truncated file, a folder or a link in the cache would fail every
        // later run until the user cleared the cache: download it again.
        const bool present = exists(path);
        if (present && JnlpDownloader::cachedArchiveIsWhole(path)) {
            jarPaths.push_back(Paths::toShortPath(path));
        } else {
            if (present) Logger::warn("StampIT: cached " + std::string(name) + " is not a whole Java archive");
            Logger::warn(missingPrefix + (fullPathInLog ? path : std::string(name)));
            allThere = false;
        }
    }
    return allThere;
}

namespace {

// The class we ship is a few kilobytes; a file far larger is not it.
constexpr std::uint64_t kMaxWrapperClassBytes = std::uint64_t{16} * 1024 * 1024;
// A temporary file this old in the cache belongs to no writer still at
// work (a write lasts milliseconds): a crash left it.
constexpr std::chrono::minutes kStaleTemporaryAge{10};

// Only a non-empty regular file of ours, which no one else can write, is an
// installed class or library: a FIFO there would hang the JVM, and a file
// another account planted would run as the user.
bool isInstalledFile(const std::string& path) {
    const std::optional<std::uint64_t> size = files::trustedFileSize(path);
    return size && *size > 0;
}

bool isThere(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

// Written the way the archives are: temporary file, sync, rename (never
// through a link), then the size on disk compared with the source's.
bool writeWrapperClass(const std::string& target, const std::vector<uint8_t>& bytes) {
    struct stat info {};
    if (::lstat(target.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) ::rmdir(target.c_str());
    files::WriteResult written = files::replaceFileAtomically(target, bytes, 0644);
    if (!written) {
        Logger::error("StampIT: cannot install the wrapper class: " + written.reason);
        return false;
    }
    if (files::trustedFileSize(target) != std::optional<std::uint64_t>(bytes.size())) {
        Logger::error("StampIT: the installed wrapper class does not match the shipped one");
        return false;
    }
    return true;
}

}  // namespace

bool StampItBridge::Impl::findJava() {
    auto java = JavaFinder::find();
    if (!java) {
        Logger::error("Java not found on system");
        return false;
    }
    javaPath = java->path;
    is64Bit = java->is64Bit;
    arch = BitnessDetector::detect(javaPath);
    Logger::info("Java: " + core::common::utf8::escapeForLog(javaPath) + " version=" + java->version +
                 (is64Bit ? " (64-Bit)" : " (32-Bit)"));
    return true;
}

// The cache's folders, each the user's own (Paths logs a refusal), swept of
// what a crashed writer left.
bool StampItBridge::Impl::prepareCache() {
    for (const std::string& dir : {Paths::stampitJars(), Paths::stampitNative(), Paths::stampitWrapperDir()}) {
        if (!Paths::ensureDirectory(dir)) {
            Logger::error("StampIT: cache folder refused: " + core::common::utf8::escapeForLog(dir));
            return false;
        }
        files::sweepTemporaryFiles(dir, kStaleTemporaryAge);
    }
    nativeDir = Paths::stampitNative();
    wrapperDir = Paths::stampitWrapperDir();
    return true;
}

// The class shipped beside the executable, copied into the cache. Without a
// shipped class an installed copy stays, unless it is no installed file.
bool StampItBridge::Impl::installWrapperClass() {
    const std::string target = joinPath(wrapperDir, kWrapperClassFile);
    const std::string exeDir = Paths::executableDir();
    files::ReadOptions options;
    options.maxBytes = kMaxWrapperClassBytes;
    const files::ReadResult shipped = exeDir.empty()
                                          ? files::ReadResult{{}, files::ReadError::NotFound, "no folder"}
                                          : files::readRegularFile(joinPath(exeDir, kWrapperClassFile), options);
    if (shipped.error == files::ReadError::NotFound) {
        if (!isThere(target) || isInstalledFile(target)) return true;
        Logger::error("StampIT: " + target + " is not a wrapper class file of ours");
        return false;
    }
    if (!shipped.ok() || shipped.bytes.empty()) {
        Logger::error("StampIT: the shipped wrapper class cannot be used: " +
                      (shipped.ok() ? std::string("empty") : shipped.reason));
        return false;
    }
    return writeWrapperClass(target, shipped.bytes);
}

// The applet's archives and native library fetched from the portal.
bool StampItBridge::Impl::downloadApplet(const Progress& progress, const std::string& libPath) {
    report(progress, "Сваляне на StampIT библиотеките от НАП…");
    if (!fetcher) Logger::warn("StampIT: no authenticated fetcher set — JNLP endpoints require portal login");
    if (JnlpDownloader::downloadAll(Paths::stampitRoot(), fetcher).empty()) {
        Logger::error("StampIT: JnlpDownloader returned 0 JARs");
        return false;
    }
    collectJars("Still missing after download: ", true);

    if (!isInstalledFile(libPath)) {
        report(progress, "Извличане на native библиотека…");
        const std::string libName = BitnessDetector::nativeLibFileName();
        if (JnlpDownloader::downloadNativeLib(BitnessDetector::nativeJarFor(arch), libName, nativeDir, fetcher).empty())
            Logger::warn("StampIT: native lib download/extract failed");
    }
    if (!isInstalledFile(libPath)) {
        Logger::error("StampIT: native lib still missing after download");
        return false;
    }
    return true;
}

bool StampItBridge::Impl::ensureInstalledLocked(const Progress& progress) {
    report(progress, "Търсене на Java…");
    if (!findJava() || !prepareCache() || !installWrapperClass()) return false;

    const bool allJars = collectJars("Missing JAR: ", false);
    if (BitnessDetector::nativeJarFor(arch).empty())
        Logger::warn(
            "StampIT: no native lib JAR mapping for current arch — VAT validation will fail with "
            "UnsatisfiedLinkError");
    const std::string libPath = joinPath(nativeDir, BitnessDetector::nativeLibFileName());
    const bool libThere = isInstalledFile(libPath);
    if (!libThere) Logger::warn("Missing native lib: " + libPath);
    if (!(libThere && allJars) && !downloadApplet(progress, libPath)) return false;
    report(progress, "Готово.");
    return true;
}

StampItBridge::StampItBridge() : impl_(std::make_unique<Impl>()) {}

StampItBridge::~StampItBridge() = default;

void StampItBridge::setFetcher(Fetcher fetcher) {
    std::lock_guard lock(impl_->callMutex);
    impl_->fetcher = std::move(fetcher);
}

void StampItBridge::setRunnerLimits(const PipeRunner::Limits& limits) {
    std::lock_guard lock(impl_->callMutex);
    impl_->runnerLimits = limits;
}

bool StampItBridge::ensureInstalled(const Progress& progress) {
    std::lock_guard lock(impl_->callMutex);
    return impl_->ensureInstalledLocked(progress);
}

std::vector<std::string> StampItBridge::validate(const std::string& folder, const Progress& progress) {
    if (bridge_lines::folderBreaksLine(folder)) {
        Logger::warn("StampIT validate: folder with a line break refused: " + core::common::utf8::escapeForLog(folder));
        return {kFolderHasLineBreak};
    }
    std::lock_guard lock(impl_->callMutex);
    Impl& s = *impl_;
    if (s.javaPath.empty() && !s.ensureInstalledLocked(progress)) return {kNotAvailable};

    const auto args = bridge_lines::wrapperArguments(s.nativeDir, s.wrapperDir, s.jarPaths, "validate", {}, {}, {});
    Logger::info("StampIT validate: launching: " + commandLineForLog(s.javaPath, args));
    report(progress, "Стартиране на валидация…");

    PipeRunner runner;
    runner.setLimits(s.runnerLimits);
    if (!runner.start({s.javaPath, args, {}})) return {kStartFailed};
    const std::string dirLine = "DIR:" + Paths::toShortPath(folder);
    Logger::info("StampIT validate: stdin → " + core::common::utf8::escapeForLog(dirLine));
    runner.writeLine(dirLine);

    KeptLines outputLines;
    CountedText errorLines;  // the runner's thread only, until run returns
    int code = -1;
    try {
        code = runner.run([&](const std::string& line) { outputLines.add(line); },
                          [&](const std::string& line) { errorLines.appendLine(line); });
    } catch (const std::exception& e) {
        Logger::error(std::string("StampIT validate: ") + e.what());
    }
    logValidationRun(code, outputLines, errorLines);
    const std::string& errorText = errorLines.text();

    if (code == 0) {
        report(progress, "Валидацията премина успешно.");
        return {};
    }
    auto errors = bridge_lines::collectValidationErrors(outputLines.lines(), errorText, code);
    report(progress, "Намерени грешки: " + std::to_string(errors.size()));
    return errors;
}

namespace {

// The certificate that signs the wrapper's requests: the one given, else the
// first the signer lists (empty when there is none).
std::string signingCertId(signing::ISigner& signer, const std::string& given) {
    if (!given.empty()) {
        Logger::info("StampIT submit: signing cert id = " + core::common::utf8::escapeForLog(given));
        return given;
    }
    std::vector<signing::CertificateInfo> certs;
    try {
        certs = signer.listCertificates();
    } catch (const std::exception& e) {
        Logger::error(std::string("StampIT signer.listCertificates: ") + e.what());
    }
    if (certs.empty()) return {};
    Logger::warn("StampIT submit: signerCertId empty — falling back to first enumerated cert (" +
                 core::common::utf8::escapeForLog(certs.front().id) +
                 "). Pass session.identity().certificateId instead.");
    return certs.front().id;
}

// One run of the wrapper for a submission: answers its signing requests,
// keeps its transcript and its error lines, and turns its end into the
// result. The output and error handlers run on different threads.
class SubmitConversation {
public:
    SubmitConversation(PipeRunner& runner, signing::ISigner& signer, std::string certId,
                       const StampItBridge::Progress& progress)
        : runner_(runner), signer_(signer), certId_(std::move(certId)), progress_(progress) {}

    // Whatever goes wrong here, a signing request is answered: the wrapper
    // waits for exactly one reply line per request.
    void onOutput(const std::string& line) {
        bool unanswered = line.starts_with("SIGN:");
        try {
            ++outputLines_;
            logBudget_.line("  [stdout] ", line);
            appendTranscript(line);
            if (line.empty()) return;
            auto effect = bridge_lines::readSubmitOutputLine(line, state_);
            if (effect.progress) report(progress_, *effect.progress);
            if (effect.signRequest) {
                unanswered = false;
                // Once a reply could not reach the wrapper, the signer is not asked again.
                reply(replyLost_ ? std::vector<uint8_t>{} : signFor(effect.toSign));
            }
        } catch (const std::exception& e) {
            Logger::error(std::string("StampIT submit: output line not handled: ") + e.what());
        } catch (...) {
            Logger::error("StampIT submit: output line not handled");
        }
        if (unanswered) reply({});
    }

    void onError(const std::string& line) {
        try {
            errorLines_.appendLine(line);
            auto effect = bridge_lines::readSubmitErrorLine(line);
            if (effect.progress) report(progress_, *effect.progress);
            if (effect.toTranscript) appendTranscript(line);
        } catch (const std::exception& e) {
            Logger::error(std::string("StampIT submit: error line not handled: ") + e.what());
        } catch (...) {
            Logger::error("StampIT submit: error line not handled");
        }
    }

    // Called once the run has returned (code -1 when it threw).
    SubmissionResult finish(int code) {
        SubmissionResult result;
        // The verdict first: once the wrapper reported a filing, nothing after
        // this point may turn it into a failure (the agency has the return).
        // Lost replies fail a run that claims success; any other run fails
        // anyway, and its exit code tells the user more.
        const size_t unanswered = unsignedRequests_ + (code == 0 ? lostReplies_ : 0);
        const auto outcome = bridge_lines::decideSubmitOutcome(code, state_, unanswered);
        result.success = outcome.success;
        result.errorMessage = outcome.errorMessage;
        try {
            logRun(code);
            bridge_lines::noteLeftOutNativeErrors(state_);
            result.nativeErrors = std::move(state_.nativeErrors);
            result.output = transcript_.take();
        } catch (const std::exception& e) {
            Logger::error(std::string("StampIT submit: after the wrapper ended: ") + e.what());
        } catch (...) {
            Logger::error("StampIT submit: after the wrapper ended: unknown exception");
        }
        return result;
    }

private:
    // A reply that cannot be written leaves its request unanswered, and so
    // every request after it: the wrapper's input is gone.
    void reply(const std::vector<uint8_t>& signature) {
        const bool delivered = !replyLost_ && runner_.writeLine("SIGNATURE:" + core::common::base64::encode(
                                                                                   signature.data(), signature.size()));
        if (!delivered) {
            replyLost_ = true;
            ++lostReplies_;
        } else if (signature.empty()) {
            ++unsignedRequests_;
        }
    }

    void logRun(int code) {
        if (unsignedRequests_ > 0)
            Logger::error("StampIT submit: " + std::to_string(unsignedRequests_) +
                          " signing request(s) answered without a signature");
        if (lostReplies_ > 0)
            Logger::error("StampIT submit: " + std::to_string(lostReplies_) +
                          " signing request(s) left unanswered: the wrapper's input was closed");
        Logger::info("StampIT submit: exit=" + std::to_string(code) + " stdout_lines=" + std::to_string(outputLines_) +
                     " stderr_bytes=" + std::to_string(errorLines_.text().size()));
        logBudget_.errorLines(errorLines_.text());
        logBudget_.leaveOut(errorLines_.droppedLines(), errorLines_.droppedBytes());
        logBudget_.close("StampIT submit");
    }

    std::vector<uint8_t> signFor(const std::vector<uint8_t>& bytes) {
        if (certId_.empty()) return {};
        try {
            return signer_.signData(bytes, certId_, "");
        } catch (const std::exception& e) {
            Logger::error(std::string("StampIT signer.signData: ") + e.what());
        } catch (...) {
            Logger::error("StampIT signer.signData: unknown exception");
        }
        return {};
    }

    // The transcript is the one thing both handlers touch.
    void appendTranscript(const std::string& line) {
        std::lock_guard guard(transcriptMutex_);
        transcript_.appendLine(line);
    }

    PipeRunner& runner_;
    signing::ISigner& signer_;
    const std::string certId_;
    const StampItBridge::Progress& progress_;
    std::mutex transcriptMutex_;
    BoundedText transcript_;
    bridge_lines::SubmitOutputState state_;
    size_t outputLines_ = 0;
    size_t unsignedRequests_ = 0;  // answered without a signature
    size_t lostReplies_ = 0;       // never reached the wrapper
    bool replyLost_ = false;       // a reply did not reach the wrapper: sign no more
    CountedText errorLines_;       // the error handler's alone until run returns
    LogBudget logBudget_;          // the output handler's, then finish's
};

}  // namespace

SubmissionResult StampItBridge::submit(const std::string& folder, signing::ISigner& signer,
                                       const std::string& signerCertId, const std::string& signerEmail,
                                       const std::string& encryptionCertBase64, const std::string& iban,
                                       const Progress& progress) {
    SubmissionResult result;
    if (bridge_lines::folderBreaksLine(folder)) {
        Logger::warn("StampIT submit: folder with a line break refused: " + core::common::utf8::escapeForLog(folder));
        result.errorMessage = kFolderHasLineBreak;
        return result;
    }
    std::lock_guard lock(impl_->callMutex);
    Impl& s = *impl_;
    if (s.javaPath.empty() && !s.ensureInstalledLocked(progress)) {
        result.errorMessage = kNotAvailable;
        return result;
    }
    if (encryptionCertBase64.empty()) {
        result.errorMessage =
            "Липсва NAP encryption cert (base64). Попълни features/vat/NraEncryptionCert kNraEncryptionCertBase64.";
        return result;
    }

    const auto args = bridge_lines::wrapperArguments(s.nativeDir, s.wrapperDir, s.jarPaths, "pipe", signerEmail,
                                                     encryptionCertBase64, iban);
    Logger::info("StampIT submit: launching: " + commandLineForLog(s.javaPath, args));

    PipeRunner runner;
    runner.setLimits(s.runnerLimits);
    if (!runner.start({s.javaPath, args, {}})) {
        result.errorMessage = kStartFailed;
        return result;
    }
    const std::string dirLine = "DIR:" + Paths::toShortPath(folder);
    Logger::info("StampIT submit: stdin → " + core::common::utf8::escapeForLog(dirLine));
    runner.writeLine(dirLine);

    SubmitConversation conversation(runner, signer, signingCertId(signer, signerCertId), progress);
    int code = -1;
    try {
        code = runner.run([&](const std::string& line) { conversation.onOutput(line); },
                          [&](const std::string& line) { conversation.onError(line); });
    } catch (const std::exception& e) {
        Logger::error(std::string("StampIT submit: ") + e.what());
    }
    return conversation.finish(code);
}

}  // namespace tavo::stampit
