#include "Asic/SwTable.h"

#include "Kel/Type.h"

namespace Asic {

namespace {

Kel::TypeImpl const mountInfoType("Asic::HwTableMountInfo",
                                  {Kel::attrRead<HwTableMountInfo>("unit", [](auto& i) {
                                      return i.unit();
                                  })});

Kel::ModuleRegistration const registration({"Asic", {&mountInfoType}});

}  // namespace

Kel::TypeImpl const* HwTableMountInfo::fwkType() const {
    return &mountInfoType;
}

void SwTable::doInit(UnitId unit, Kel::Ptr<Corral::EntityManager> const& em, ChipInfo const& chip) {
    unit_ = unit;
    em_ = em;
    chip_ = chip;
}

void SwTable::doPublishHwTableMountInfo() {
    if (!em_) {
        return;
    }
    std::string path =
        std::string(kHwTableMountPath) + "/" + tableName_ + "/" + std::to_string(unit_);
    em_->entityIs(path, Kel::newPtr<HwTableMountInfo>(tableName_, unit_, chip_));
}

void SwTable::doMountHwTableMountInfo(Kel::Ptr<Corral::MountGroup> const& group) {
    Corral::Mount mount(kHwTableMountPath, "Kel::Dir");
    mount.flagsIs(0);
    mount.handleFlags("w");
    group->doMount(mount);
}

}  // namespace Asic
