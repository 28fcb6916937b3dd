#pragma once

#include <functional>
#include <string>

#include "Asic/ChipInfo.h"
#include "Corral/EntityManager.h"
#include "Kel/Type.h"

namespace Asic {

// Called once the chip has taken (true) or refused (false) a write.
using WriteResponseFn = std::function<void(bool written)>;

// A write the chip has not answered yet. The software tables answer at
// once, so they hand back null.
class PendingWrite : public Kel::PtrInterface {};

// Where software tables announce themselves in the system database: one
// HwTableMountInfo per table and unit below this directory.
inline constexpr char const* kHwTableMountPath = "hardware/plinth/hwTable";

// What a table publishes once initialised: its presence, at a path named
// after the table and the unit.
class HwTableMountInfo : public Kel::Entity {
  public:
    using Entity::Entity;
    Kel::TypeImpl const* fwkType() const override {
        return Kel::plainType<HwTableMountInfo>("Asic::HwTableMountInfo");
    }
};

// The software image of one hardware table of one chip: what the driver
// would hold in step with the chip.
class SwTable : public Kel::Entity {
  public:
    explicit SwTable(std::string tableName) : Entity(std::move(tableName)) {}

    void doInit(UnitId unit, Kel::Ptr<Corral::EntityManager> const& em, ChipInfo const& chip);
    // Announces the table in the system database below kHwTableMountPath.
    void doPublishHwTableMountInfo();
    // Adds to `group` the mount of the directory the tables publish into.
    static void doMountHwTableMountInfo(Kel::Ptr<Corral::MountGroup> const& group);

    UnitId unit() const { return unit_; }
    ChipInfo const& chip() const { return chip_; }

  private:
    UnitId unit_ = 0;
    Kel::Ptr<Corral::EntityManager> em_;
    ChipInfo chip_;
};

}  // namespace Asic
