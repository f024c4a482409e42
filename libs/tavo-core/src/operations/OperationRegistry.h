#pragma once

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "operations/ITavoOperation.h"

namespace tavo::core::operations {

// The process-wide catalogue of operations. Feature files register from
// static initialisers; afterwards it is read-only, so readers need no lock.
class OperationRegistry {
public:
    using Factory = std::function<std::unique_ptr<ITavoOperation>()>;

    struct Entry {
        std::string typeId;
        std::string displayName;
        std::string category;
        std::string featureGroupId;
        std::string featureGroupName;
        OperationKind kind = OperationKind::Submission;
        bool requiresEik = false;
    };

    struct Record {
        Factory factory;
        Entry entry;
    };

    // Created on first use, so it exists before the first registration
    // whatever the order of the static initialisers.
    static OperationRegistry& instance();

    // A registry of its own, for callers that must not see the process-wide one.
    OperationRegistry();

    // True only when the operation was added; the first registration of a
    // type id stays.
    bool registerOperation(const std::string& typeId, Factory factory);
    // A fresh instance; null for an unknown type id.
    std::unique_ptr<ITavoOperation> create(const std::string& typeId) const;

    // Sorted by typeId, byte-wise.
    std::vector<Entry> listAll() const;
    std::vector<Entry> listSubmissions() const;
    std::vector<Entry> listInquiries() const;

private:
    // The test rig's hooks (OperationRegistryTesting.h).
    friend struct RegistryTestAccess;

    std::vector<Entry> listKind(OperationKind kind) const;

    std::unordered_map<std::string, Record> records_;
};

}  // namespace tavo::core::operations
