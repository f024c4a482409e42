#pragma once

#include <string>

#include "operations/OperationTypes.h"

namespace tavo::core::domain {
class NapSession;
}

namespace tavo::core::operations {

// Root of every operation. Operations hold no state: all metadata comes from
// these members, and a fresh instance is made for every use.
class ITavoOperation {
public:
    virtual ~ITavoOperation() = default;

    virtual std::string typeId() const = 0;
    virtual std::string displayName() const = 0;
    virtual std::string featureGroupId() const = 0;
    virtual std::string featureGroupName() const = 0;
    virtual OperationKind kind() const = 0;
    virtual SubmissionChannel channel() const = 0;
    virtual AuthScheme authScheme() const = 0;
    virtual std::string category() const { return {}; }
    virtual std::string description() const { return {}; }
    virtual bool requiresEik() const { return true; }
    virtual ResultSpec resultSchema() const { return {}; }
};

}  // namespace tavo::core::operations
