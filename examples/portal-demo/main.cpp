// One declaration filed the way the agent files it: an operation registered
// with the engine, a sender from the settings, the smart-card signer, the
// portal's certificate login, taxpayer and service selection, the signed
// gzip upload through the PL/SQL form and the look-up of the new document.
//
// The agency's portal and login host are replaced by the test stand-in on
// 127.0.0.1, and the smart card by a throwaway SoftHSM token. To reach the
// real portal: leave TAVO_TEST_CONNECT_TO and TAVO_TEST_CA_FILE unset, point
// TAVO_PKCS11_MODULE at the card's PKCS#11 module, and give the engine the
// real settings (sender, certificate id) and PIN.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "InMemorySettingsProvider.h"
#include "TavoEngine.h"
#include "common/Cp1251.h"
#include "infrastructure/http/NapEndpoints.h"
#include "infrastructure/signing/SignerPkcs11.h"
#include "operations/OperationRegistry.h"
#include "operations/PlsResultsExecutor.h"
#include "operations/PlsSubmissionExecutor.h"
#include "support/PlsFormStandIn.h"
#include "support/PortalCard.h"
#include "support/PortalStandIn.h"
#include "support/QuietStderr.h"
#include "support/SoftHsmToken.h"
#include "support/TempDir.h"

namespace {

using namespace tavo::core::operations;

// An income statement filed through the portal's legacy form, read back
// from the service's HTML listing.
class ExampleDeclaration : public ISubmission {
public:
    std::string typeId() const override { return "example_decl55_upload"; }
    std::string displayName() const override { return "Декларация по чл. 55 (пример)"; }
    std::string featureGroupId() const override { return "decl55"; }
    std::string featureGroupName() const override { return "Декларации по чл. 55"; }
    SubmissionChannel channel() const override { return SubmissionChannel::PlsLegacy; }
    AuthScheme authScheme() const override { return AuthScheme::PlsSignature; }
    std::string categoryName() const override { return "Декларации по чл. 55"; }
    PreflightResult validate(const std::string&) override { return {true, {}, {}}; }
    SubmissionResult submit(tavo::core::domain::NapSession& session, const std::string& path,
                            const ParameterValues& params) override {
        return executePlsSubmission(session, *this, path, params);
    }
    InquiryResult fetchResults(tavo::core::domain::NapSession& session, const ResultsFilter& filter) override {
        return fetchHtmlTableResults(session, *this, filter);
    }
};

const bool kRegistered = OperationRegistry::instance().registerOperation(
    "example_decl55_upload", [] { return std::make_unique<ExampleDeclaration>(); });

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every production host closed first; the stand-ins open theirs.
void failClosed() {
    std::string value;
    for (const char* host : tavo::core::infra::nap::kAllHosts) {
        if (!value.empty()) value += ',';
        value += std::string(host) + ":443:127.0.0.1:1";
    }
    ::setenv("TAVO_TEST_CONNECT_TO", value.c_str(), 1);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string file = argc > 1 ? argv[1] : std::string(TAVO_DEMO_DIR) + "/declaration-cp1251.txt";
    if (!kRegistered) return 2;
    failClosed();
    tavo::test::TempDir home("tavo-demo-home");
    ::setenv("HOME", home.str().c_str(), 1);

    tavo::core::ExecuteResult result;
    tavo::test::PlsFormStandIn::Upload seen;
    std::string log;
    {
        tavo::test::QuietStderr quiet;
        tavo::test::PortalCard card;  // throwaway SoftHSM token with the sender's key and certificate
        tavo::test::PortalStandIn portal;
        tavo::test::PlsFormStandIn forms(portal);
        // The listing the portal shows once it has taken the filing (pid 100001).
        forms.setRows({{"0100-2025-000123", "15.03.2025 10:42", "2024", "", "", "100001"}});

        tavo::signing::SignerPkcs11 signer(tavo::test::SoftHsmToken::modulePath());
        tavo::core::Sender sender{"s-0123456789ab", "Тест Трейд ООД", card.identity()};
        tavo::core::TavoEngine engine(
            std::make_unique<tavo::core::InMemorySettingsProvider>(std::vector<tavo::core::Sender>{sender}, sender.id));
        engine.setSigner(&signer);
        engine.initialize();
        engine.setPin(card.pin());

        result = engine.executeOperation("example_decl55_upload", R"({"eik":"123456789","year":2024})", file);
        engine.shutdown();
        auto uploads = forms.uploads();
        if (!uploads.empty()) seen = uploads.front();
        log = card.logText();
    }

    std::cout << "== operation example_decl55_upload on " << file << "\n";
    std::cout << "ok: " << (result.ok ? "true" : "false") << (result.error.empty() ? "" : "  error: " + result.error)
              << "\n";
    std::cout << "result: " << result.payload << "\n";
    if (!result.payload.empty()) std::cout << nlohmann::json::parse(result.payload).dump(2) << "\n";

    std::cout << "\n== the upload, from the library's log\n";
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        if (line.find("PlsSubmissionExecutor:") != std::string::npos) std::cout << line << "\n";

    std::cout << "\n== what the portal stand-in saw\n";
    for (const auto& [name, value] : seen.fields) std::cout << "field " << name << " = " << value << "\n";
    std::cout << "gzip header zeroed: " << (seen.gzipHeaderZeroed ? "yes" : "no") << "\n";
    std::cout << "line ends CR LF only, no byte-order mark: " << (seen.crlfOnly && seen.noBom ? "yes" : "no") << "\n";
    std::cout << "openssl cms -verify exit status: " << seen.verifyStatus << "\n";
    std::cout << "openssl cms -verify output: " << seen.verifyOutput << (seen.verifyOutput.empty() ? "\n" : "");
    const std::string sent = readAll(file);
    const bool same = std::string(seen.file.begin(), seen.file.end()) == sent;
    std::cout << "inflated file equals the one sent (" << sent.size() << " bytes): " << (same ? "yes" : "no") << "\n";
    if (!seen.file.empty()) {
        std::string text(seen.file.begin(), seen.file.end());
        std::cout << "its first line, from Windows-1251: "
                  << tavo::core::common::Cp1251::ToUtf8(text.substr(0, text.find('\r'))) << "\n";
    }
    const bool passed = result.ok && seen.verifyStatus == 0 && same && seen.problem.empty();
    std::cout << "\n" << (passed ? "DEMO PASSED" : "DEMO FAILED") << "\n";
    return passed ? 0 : 1;
}
