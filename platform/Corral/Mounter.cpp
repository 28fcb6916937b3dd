#include "Corral/Mounter.h"

#include "Corral/EntityManager.h"

namespace Corral {

Mounter::~Mounter() {
    if (corralEm_) {
        corralEm_->mountGroupDel(this);
    }
}

void Mounter::doCorralMountsComplete(MountStatus status, Kel::Ptr<EntityManager> em) {
    handleMountStatus(status);
    doMountsComplete(status, std::move(em));
}

void Mounter::doMountsComplete(MountStatus, Kel::Ptr<EntityManager>) {}
void Mounter::handleMountStatus(MountStatus) {}

}  // namespace Corral
