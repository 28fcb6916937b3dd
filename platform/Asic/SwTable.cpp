#include "Asic/SwTable.h"

#include "Kel/Type.h"

namespace Asic {

void SwTable::doInit(UnitId unit, Kel::Ptr<Corral::EntityManager> const& em, ChipInfo const& chip) {
    unit_ = unit;
    em_ = em;
    chip_ = chip;
}

void SwTable::doPublishHwTableMountInfo() {
    if (!em_) {
        return;
    }
    std::string const& table = name().stdString();
    em_->entityIs(std::string(kHwTableMountPath) + "/" + table + "/" + std::to_string(unit_),
                  Kel::newPtr<HwTableMountInfo>(table));
}

void SwTable::doMountHwTableMountInfo(Kel::Ptr<Corral::MountGroup> const& group) {
    Corral::Mount mount(kHwTableMountPath, "Kel::Dir");
    mount.flagsIs(0);
    mount.handleFlags("w");
    group->doMount(mount);
}

}  // namespace Asic
