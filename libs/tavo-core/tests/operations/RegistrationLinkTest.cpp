#include <gtest/gtest.h>

#include "operations/OperationRegistry.h"

using tavo::core::operations::OperationKind;
using tavo::core::operations::OperationRegistry;

// The registrar lives in a static library of its own that this executable
// links like the core, and nothing here names a symbol of it: the entry can
// only be present because the registrar ran before main.
TEST(OperationRegistry, RegistrarInLinkedArchiveRunsBeforeMain) {
    auto all = OperationRegistry::instance().listAll();
    auto it = std::find_if(all.begin(), all.end(), [](const auto& e) { return e.typeId == "linked_probe"; });
    ASSERT_NE(it, all.end());
    EXPECT_EQ(it->displayName, "Свързана проба");
    EXPECT_EQ(it->kind, OperationKind::Inquiry);
    auto op = OperationRegistry::instance().create("linked_probe");
    ASSERT_TRUE(op);
    EXPECT_EQ(op->typeId(), "linked_probe");
}
