#pragma once

#include <map>
#include <set>

#include "Asic/ChipInfo.h"
#include "Kel/Entity.h"
#include "Kel/Type.h"
#include "LogicalFap/LogicalFapId.h"

namespace PlinthCentral {

using ChipInfo = Asic::ChipInfo;

// What the chip agent knows of one chip module.
class LogicalModuleInfo : public Kel::PtrInterface {
  public:
    explicit LogicalModuleInfo(ChipInfo chipInfo) : chipInfo_(std::move(chipInfo)) {}
    ChipInfo const& chipInfo() const { return chipInfo_; }

  private:
    ChipInfo chipInfo_;
};

// The chip agent's data that its feature plug-ins share: the logical
// identities of the chips it drives and their module information.
// Notifies a change of logicalFapIdInserted with the id as key (value: the
// id when inserted, null when removed).
class FeatureAgentCommonSmData : public Kel::NotifyingEntity {
  public:
    static constexpr short kLogicalFapIdInsertedAttr = 0;
    static constexpr short kLogicalModInfoAttr = 1;
    using LogicalFapIds = std::set<LogicalFap::LogicalFapId>;
    using LogicalModInfo = std::map<LogicalFap::LogicalFapId, Kel::Ptr<LogicalModuleInfo const>>;

    FeatureAgentCommonSmData() : NotifyingEntity("featureCommon") {}
    Kel::TypeImpl const* fwkType() const override {
        return Kel::plainType<FeatureAgentCommonSmData>("PlinthCentral::FeatureAgentCommonSmData");
    }

    LogicalFapIds const& logicalFapIdInserted() const { return logicalFapIdInserted_; }
    void logicalFapIdInsertedIs(LogicalFap::LogicalFapId id);
    void logicalFapIdInsertedDel(LogicalFap::LogicalFapId id);

    // Null when the chip agent has no module information for `id`.
    Kel::Ptr<LogicalModuleInfo const> logicalModInfo(LogicalFap::LogicalFapId id) const;
    void logicalModInfoIs(LogicalFap::LogicalFapId id, Kel::Ptr<LogicalModuleInfo const> info);
    void logicalModInfoDel(LogicalFap::LogicalFapId id);

  private:
    LogicalFapIds logicalFapIdInserted_;
    LogicalModInfo logicalModInfo_;
};

// The chip family's L3 capabilities as the central agent reports them. The
// plug-in only holds on to it.
class L3Capabilities : public Kel::Entity {
  public:
    Kel::TypeImpl const* fwkType() const override {
        return Kel::plainType<L3Capabilities>("PlinthCentral::L3Capabilities");
    }
};

}  // namespace PlinthCentral
