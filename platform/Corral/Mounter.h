#pragma once

#include "Corral/Mount.h"
#include "Kel/Entity.h"

namespace Corral {

class EntityManager;

// An entity that declares mounts on the system database and is told when
// they completed.
class Mounter : public Kel::Entity {
  public:
    explicit Mounter(Vosk::String name) : Entity(std::move(name)) {}
    ~Mounter() override;

    // The manager calls this; it forwards to doMountsComplete.
    virtual void doCorralMountsComplete(MountStatus status, Kel::Ptr<EntityManager> em) {
        handleMountStatus(status);
        doMountsComplete(status, std::move(em));
    }
    virtual void doMountsComplete(MountStatus, Kel::Ptr<EntityManager>) {}
    virtual void handleMountStatus(MountStatus) {}

    // The system database this mounter mounts from.
    Kel::Ptr<EntityManager> const& corralEm() const { return corralEm_; }
    void corralEmIs(Kel::Ptr<EntityManager> const& em) { corralEm_ = em; }

  private:
    Kel::Ptr<EntityManager> corralEm_;
};

}  // namespace Corral
