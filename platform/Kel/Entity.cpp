#include "Kel/Entity.h"

namespace Kel {

void Entity::handleParent(Entity*) {}

void Entity::parentIs(Entity* parent) {
    parent_ = parent;
    handleParent(parent);
}

}  // namespace Kel
