#pragma once

#include "Kel/Ptr.h"
#include "Vosk/String.h"

namespace Kel {

using String = Vosk::String;

// A named object of the entity tree.
class Entity : public PtrInterface {
public:
    explicit Entity(Vosk::String name = {}) : name_(std::move(name)) {}

    virtual Vosk::String nameString() const { return name_; }
    virtual void handleParent(Ptr<Entity> parent);

    // The parent owns the child, never the reverse: the child keeps only a
    // borrowed pointer, cleared when it is detached with a null parent.
    void parentIs(Ptr<Entity> const& parent);
    Entity* parent() const { return parent_; }
    Vosk::String const& name() const { return name_; }

private:
    Vosk::String name_;
    Entity* parent_ = nullptr;  // not owned
};

}  // namespace Kel
