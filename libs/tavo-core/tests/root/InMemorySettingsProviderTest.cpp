#include <gtest/gtest.h>

#include "InMemorySettingsProvider.h"

using namespace tavo::core;
using tavo::core::domain::NapIdentifierType;

namespace {
Sender sender(const std::string& id, const std::string& identifier, const std::string& cert, const std::string& key) {
    Sender s;
    s.id = id;
    s.displayName = "Фирма " + id;
    s.identity.identifier = identifier;
    s.identity.identifierType = NapIdentifierType::BUS_BULSTAT;
    s.identity.certificateId = cert;
    s.identity.apiKey = key;
    return s;
}
}  // namespace

TEST(InMemorySettingsProvider, ActiveSenderFields) {
    InMemorySettingsProvider settings(
        {sender("s-000000000001", "123456789", "1:AA", "key1"), sender("s-000000000002", "", "2:BB", "")},
        "s-000000000001");
    EXPECT_EQ(settings.activeSenderId(), "s-000000000001");
    EXPECT_EQ(settings.identifier(), "123456789");
    EXPECT_EQ(settings.identifierTypeWire(), "BUS_BULSTAT");
    EXPECT_EQ(settings.certificateId(), "1:AA");
    EXPECT_EQ(settings.apiKey(), "key1");
    settings.setActiveSenderId("s-000000000002");
    EXPECT_FALSE(settings.identifier());  // empty counts as no value
    EXPECT_FALSE(settings.apiKey());
    EXPECT_EQ(settings.certificateId(), "2:BB");
    EXPECT_FALSE(settings.findSender(""));
    EXPECT_EQ(settings.findSender("s-000000000002")->displayName, "Фирма s-000000000002");

    InMemorySettingsProvider dangling({sender("s-1", "1", "c", "k")}, "s-gone");
    EXPECT_EQ(dangling.activeSenderId(), "s-gone");
    EXPECT_FALSE(dangling.identifier());
    EXPECT_FALSE(dangling.identifierTypeWire());
}

TEST(InMemorySettingsProvider, NotifiesOnlyRealChangesInOrder) {
    InMemorySettingsProvider settings({sender("s-1", "1", "c1", ""), sender("s-2", "2", "c2", "")}, "s-1");
    std::vector<std::string> seen;
    settings.onChanged([&] { seen.push_back("first:" + settings.activeSenderId().value_or("-")); });
    settings.onChanged([&] { seen.push_back("second:" + settings.certificateId().value_or("-")); });
    settings.setActiveSenderId("s-1");        // unchanged
    settings.setActiveSenderId("s-unknown");  // unknown
    EXPECT_TRUE(seen.empty());
    settings.setActiveSenderId("s-2");
    settings.setActiveSenderId("");
    EXPECT_EQ(seen, (std::vector<std::string>{"first:s-2", "second:c2", "first:-", "second:-"}));
    EXPECT_FALSE(settings.activeSenderId());
}

TEST(InMemorySettingsProvider, RemovedListenersAreNotRunAgain) {
    InMemorySettingsProvider settings({sender("s-1", "1", "c1", ""), sender("s-2", "2", "c2", "")}, "s-1");
    std::vector<std::string> seen;
    auto first = settings.onChanged([&] { seen.push_back("first"); });
    auto second = settings.onChanged([&] { seen.push_back("second"); });
    auto third = settings.onChanged([&] { seen.push_back("third"); });
    EXPECT_NE(first, second);
    EXPECT_NE(second, third);
    settings.setActiveSenderId("s-2");
    EXPECT_EQ(seen, (std::vector<std::string>{"first", "second", "third"}));

    seen.clear();
    settings.removeListener(second);
    settings.removeListener(second);  // unknown by now: nothing
    settings.removeListener(12345);
    settings.setActiveSenderId("s-1");
    EXPECT_EQ(seen, (std::vector<std::string>{"first", "third"}));
}
