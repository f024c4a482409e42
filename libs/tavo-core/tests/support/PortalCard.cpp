#include "support/PortalCard.h"

#include "common/Logger.h"

namespace tavo::test {

PortalCard::PortalCard()
    : key_(token_.addRsaKey("A1B2C3", "Тест Подписващ", "signer@example.bg")),
      module_("TAVO_PKCS11_MODULE", SoftHsmToken::modulePath().c_str()),
      logDir_("tavo-log") {
    Logger::init((logDir_ / "agent.log").string());
}

core::domain::SenderIdentity PortalCard::identity() const {
    core::domain::SenderIdentity id;
    id.identifier = "123456789";
    id.identifierType = core::domain::NapIdentifierType::BUS_BULSTAT;
    id.certificateId = key_.certificateId;
    id.signerEmail = "signer@example.bg";
    id.apiKey = "api-key-not-used";
    return id;
}

std::string PortalCard::logText() const {
    Logger::flush();
    return readFile(logDir_ / "agent.log");
}

}  // namespace tavo::test
