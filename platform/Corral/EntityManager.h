#pragma once

#include <chrono>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "Corral/Mount.h"
#include "Kel/Dir.h"

namespace Corral {

class EntityManager;
class Mounter;

// The mounts one mounter declares. Closing the group hands it to its entity
// manager, which completes it on its next doCompleteMounts.
class MountGroup : public Kel::PtrInterface {
  public:
    struct CloseArgs {
        bool force = false;
        Vosk::String reason;
        std::chrono::seconds timeout{0};
    };

    MountGroup(EntityManager* em, Mounter* mounter) : em_(em), mounter_(mounter) {}

    void doMount(Mount const& mount) { mounts_.push_back(mount); }
    void doClose(bool force, Vosk::String const& reason, std::chrono::seconds timeout);

    std::vector<Mount> const& mounts() const { return mounts_; }
    bool closed() const { return closeCount_ > 0; }
    int closeCount() const { return closeCount_; }
    CloseArgs const& closeArgs() const { return closeArgs_; }
    Mounter* mounter() const { return mounter_; }

  private:
    friend class EntityManager;
    EntityManager* em_;  // not owned: the manager owns its groups
    Mounter* mounter_;   // not owned: the mounter removes its group when it goes
    std::vector<Mount> mounts_;
    CloseArgs closeArgs_;
    int closeCount_ = 0;
};

// The system database: entities at slash-separated paths.
class EntityManager : public Kel::Dir {
  public:
    ~EntityManager() override;

    // The mount group of `mounter`, made on first request.
    Kel::Ptr<MountGroup> getMountGroup(Mounter* mounter);
    // Completes every closed group: checks each mount against the database
    // and tells the mounter through doCorralMountsComplete. Answers how many
    // groups it completed. A mounter that raises out of its completion is
    // not allowed to take the database down with it: the failure is traced,
    // its message added to `failures` when given, and the other groups
    // still complete.
    int doCompleteMounts(std::vector<std::string>* failures = nullptr);
    // As after a reconnection: every closed group completes again on the
    // next doCompleteMounts.
    void mountsReconnect();
    // Called by a mounter that goes away before its group completed.
    void mountGroupDel(Mounter* mounter);

  private:
    friend class MountGroup;
    std::map<Mounter*, Kel::Ptr<MountGroup>> groups_;
    std::vector<Mounter*> closedGroups_;
};

}  // namespace Corral
