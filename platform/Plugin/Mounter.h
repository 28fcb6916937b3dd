#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Corral/EntityManager.h"
#include "Corral/Mounter.h"
#include "Local/EntityManager.h"

namespace Plugin {

// What the agent hands every plug-in mounter before doInit: the system
// database, the agent's local store, and the agent's shared in-process
// entities, by name.
struct Context {
    Kel::Ptr<Corral::EntityManager> corralEm;
    Kel::Ptr<Local::EntityManager> localEm;
    Kel::Ptr<Kel::Dir> shared;
};

// The plug-in side of the agent's life cycle: doInit declares mounts, the
// stage operations follow the agent's start-up stages.
class Mounter : public Corral::Mounter {
  public:
    explicit Mounter(Vosk::String name) : Corral::Mounter(std::move(name)) {}

    virtual void doInit() {}
    virtual void doStage(Vosk::String /*stage*/, Vosk::String /*instance*/) {}
    virtual void handleStageInstance(Vosk::String /*instance*/) {}
    virtual void handleStageProgressionComplete(Vosk::String /*stage*/, Vosk::String /*instance*/) {
    }

    void contextIs(Context const& context);
    Kel::Ptr<Local::EntityManager> const& localEm() const { return localEm_; }
    Kel::Ptr<Kel::Dir> const& sharedEntities() const { return shared_; }
    // The local entity at `path`, or null.
    Kel::Ptr<Kel::Entity> getLocalEntity(std::string_view path) const;

  private:
    Kel::Ptr<Local::EntityManager> localEm_;
    Kel::Ptr<Kel::Dir> shared_;
};

// Loads a plug-in library so that its source units register their types.
// Answers an empty string on success, else the loader's message. A library
// already loaded is not loaded twice.
std::string loadLibrary(std::string const& path);

// Creates the mounter of type `typeName` by name, hands it `context`, runs
// doInit and completes its mounts, which calls doMountsComplete. Throws
// Kel::Exception when the type is unknown or not a mounter. A failure out of
// doMountsComplete leaves the mounter as far as it got; its message is added
// to `failures` when given.
Kel::Ptr<Mounter> mounterStart(std::string_view typeName, Vosk::String const& name,
                               Context const& context,
                               std::vector<std::string>* failures = nullptr);

}  // namespace Plugin
