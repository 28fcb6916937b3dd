#include "Corral/EntityManager.h"

#include <algorithm>
#include <exception>

#include "Corral/Mounter.h"
#include "Kel/Trace.h"
#include "Kel/Type.h"

namespace Corral {

namespace {

constexpr char const* kSource = "Corral/EntityManager";

Kel::TraceHandle& traceHandle() {
    static Kel::TraceHandle& handle = Kel::traceHandle("Corral");
    return handle;
}

bool holdsType(Kel::Entity const& entity, Vosk::String const& typeName) {
    Kel::TypeImpl const* type = entity.fwkType();
    return type != nullptr && type->name() == typeName.stdString();
}

}  // namespace

void MountGroup::doClose(bool force, Vosk::String const& reason, std::chrono::seconds timeout) {
    closeArgs_ = {force, reason, timeout};
    if (closeCount_++ == 0 && em_ != nullptr) {
        em_->closedGroups_.push_back(mounter_);
    }
}

EntityManager::~EntityManager() {
    for (auto& [mounter, group] : groups_) {
        group->em_ = nullptr;
    }
}

Kel::Ptr<MountGroup> EntityManager::getMountGroup(Mounter* mounter) {
    auto& group = groups_[mounter];
    if (!group) {
        group = Kel::newPtr<MountGroup>(this, mounter);
    }
    return group;
}

int EntityManager::doCompleteMounts(std::vector<std::string>* failures) {
    int completed = 0;
    // A completion callback may close further groups; take them next round.
    while (!closedGroups_.empty()) {
        Mounter* mounter = closedGroups_.front();
        closedGroups_.erase(closedGroups_.begin());
        auto it = groups_.find(mounter);
        if (it == groups_.end()) {
            continue;
        }
        Kel::Ptr<MountGroup> group = it->second;
        bool const complete =
            std::all_of(group->mounts_.begin(), group->mounts_.end(), [this](Mount const& mount) {
                auto entity = getEntity(mount.path().stdString());
                return entity && holdsType(*entity, mount.typeName());
            });
        MountStatus status = complete ? MountStatus::complete : MountStatus::incomplete;
        // The mounter may drop the last outside reference to itself inside
        // the callback only through its owner, never through us: hold it.
        Kel::Ptr<Mounter> keep(mounter);
        try {
            mounter->doCorralMountsComplete(status, Kel::heldPtr(this));
        } catch (std::exception const& e) {
            KEL_TRACE(traceHandle(), 0, kSource, "mount completion of %s failed: %s",
                      mounter->nameString(), e.what());
            if (failures != nullptr) {
                failures->push_back(e.what());
            }
        }
        ++completed;
    }
    return completed;
}

void EntityManager::mountsReconnect() {
    for (auto const& [mounter, group] : groups_) {
        if (group->closed() &&
            std::find(closedGroups_.begin(), closedGroups_.end(), mounter) == closedGroups_.end()) {
            closedGroups_.push_back(mounter);
        }
    }
}

void EntityManager::mountGroupDel(Mounter* mounter) {
    auto it = groups_.find(mounter);
    if (it != groups_.end()) {
        it->second->mounter_ = nullptr;
        groups_.erase(it);
    }
    std::erase(closedGroups_, mounter);
}

}  // namespace Corral
