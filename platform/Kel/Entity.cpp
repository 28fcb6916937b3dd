#include "Kel/Entity.h"

namespace Kel {

void Entity::handleParent(Ptr<Entity>) {}

void Entity::parentIs(Ptr<Entity> const& parent) {
    parent_ = parent.get();
    handleParent(parent);
}

}  // namespace Kel
