#include "operations/OperationRegistry.h"
#include "operations/OperationRegistryTesting.h"

#include <algorithm>
#include <unordered_set>

#include "common/Logger.h"

namespace tavo::core::operations {

OperationRegistry& OperationRegistry::instance() {
    static OperationRegistry registry;
    return registry;
}

OperationRegistry::OperationRegistry() {
    records_.max_load_factor(1.0f);
}

bool OperationRegistry::registerOperation(const std::string& typeId, Factory factory) {
    if (typeId.empty() || !factory) {
        Logger::warn("OperationRegistry: ignored registration with empty typeId or null factory");
        return false;
    }
    if (records_.count(typeId)) {
        Logger::warn("OperationRegistry: duplicate registration for '" + typeId + "' ignored");
        return false;
    }
    std::unique_ptr<ITavoOperation> op = factory();
    if (!op) {
        Logger::warn("OperationRegistry: factory for '" + typeId + "' returned null");
        return false;
    }
    Entry entry;
    entry.typeId = typeId;
    entry.displayName = op->displayName();
    entry.category = op->category();
    entry.featureGroupId = op->featureGroupId();
    entry.featureGroupName = op->featureGroupName();
    entry.kind = op->kind();
    entry.requiresEik = op->requiresEik();
    op.reset();
    records_.emplace(typeId, Record{std::move(factory), std::move(entry)});
    Logger::info("OperationRegistry: registered '" + typeId + "'");
    return true;
}

std::unique_ptr<ITavoOperation> OperationRegistry::create(const std::string& typeId) const {
    auto it = records_.find(typeId);
    if (it == records_.end()) return nullptr;
    return it->second.factory();
}

std::vector<OperationRegistry::Entry> OperationRegistry::listAll() const {
    std::vector<Entry> all;
    all.reserve(records_.size());
    for (const auto& [id, record] : records_) all.push_back(record.entry);
    std::sort(all.begin(), all.end(), [](const Entry& a, const Entry& b) { return a.typeId < b.typeId; });
    return all;
}

std::vector<OperationRegistry::Entry> OperationRegistry::listKind(OperationKind kind) const {
    std::vector<Entry> all = listAll();
    std::erase_if(all, [kind](const Entry& e) { return e.kind != kind; });
    return all;
}

std::vector<OperationRegistry::Entry> OperationRegistry::listSubmissions() const {
    return listKind(OperationKind::Submission);
}

std::vector<OperationRegistry::Entry> OperationRegistry::listInquiries() const {
    return listKind(OperationKind::Inquiry);
}

}  // namespace tavo::core::operations

namespace tavo::core::operations {

struct RegistryTestAccess {
    static void keepOnly(OperationRegistry& registry, const std::vector<std::string>& typeIds) {
        const std::unordered_set<std::string> keep(typeIds.begin(), typeIds.end());
        std::erase_if(registry.records_, [&](const auto& record) { return keep.count(record.first) == 0; });
    }
};

namespace testing {

void forgetRegistrationsOtherThan(const std::vector<std::string>& typeIds) {
    RegistryTestAccess::keepOnly(OperationRegistry::instance(), typeIds);
}

}  // namespace testing
}  // namespace tavo::core::operations
