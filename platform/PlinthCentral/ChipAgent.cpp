#include "PlinthCentral/ChipAgent.h"

namespace PlinthCentral {

void FeatureAgentCommonSmData::logicalFapIdInsertedIs(LogicalFap::LogicalFapId id) {
    if (logicalFapIdInserted_.insert(id).second) {
        notify(kLogicalFapIdInsertedAttr, &id, &id);
    }
}

void FeatureAgentCommonSmData::logicalFapIdInsertedDel(LogicalFap::LogicalFapId id) {
    if (logicalFapIdInserted_.erase(id) > 0) {
        notify(kLogicalFapIdInsertedAttr, &id, nullptr);
    }
}

Kel::Ptr<LogicalModuleInfo const> FeatureAgentCommonSmData::logicalModInfo(
    LogicalFap::LogicalFapId id) const {
    auto it = logicalModInfo_.find(id);
    return it == logicalModInfo_.end() ? nullptr : it->second;
}

void FeatureAgentCommonSmData::logicalModInfoIs(LogicalFap::LogicalFapId id,
                                                Kel::Ptr<LogicalModuleInfo const> info) {
    logicalModInfo_[id] = std::move(info);
    notify(kLogicalModInfoAttr, &id, logicalModInfo_[id].get());
}

void FeatureAgentCommonSmData::logicalModInfoDel(LogicalFap::LogicalFapId id) {
    if (logicalModInfo_.erase(id) > 0) {
        notify(kLogicalModInfoAttr, &id, nullptr);
    }
}

}  // namespace PlinthCentral
