#include "Corral/Mounter.h"

#include "Corral/EntityManager.h"

namespace Corral {

Mounter::~Mounter() {
    if (corralEm_) {
        corralEm_->mountGroupDel(this);
    }
}

}  // namespace Corral
