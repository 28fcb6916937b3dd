#pragma once

#include "Kel/Ptr.h"
#include "Vosk/Publisher.h"
#include "Vosk/String.h"

namespace Kel {

using String = Vosk::String;

// A named object of the entity tree.
class Entity : public PtrInterface {
  public:
    explicit Entity(Vosk::String name = {}) : name_(std::move(name)) {}

    virtual Vosk::String nameString() const { return name_; }
    virtual void handleParent(Entity*) {}

    // The parent owns the child, never the reverse: the child keeps only a
    // borrowed pointer, cleared when it is detached with a null parent.
    void parentIs(Entity* parent) {
        parent_ = parent;
        handleParent(parent);
    }
    Entity* parent() const { return parent_; }
    Vosk::String const& name() const { return name_; }

  private:
    Vosk::String name_;
    Entity* parent_ = nullptr;  // not owned
};

// An entity that announces changes of its attributes to subscribers.
class NotifyingEntity : public Entity {
  public:
    using Entity::Entity;
    Vosk::Publisher* notifieeList() const override { return &publisher_; }

  protected:
    void notify(short attribute, void const* key = nullptr, void const* value = nullptr) const {
        publisher_.notify(attribute, key, value);
    }

  private:
    // Subscribing changes no state of the entity, so const entities accept it.
    mutable Vosk::Publisher publisher_;
};

}  // namespace Kel
