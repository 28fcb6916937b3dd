#include "Local/EntityManager.h"

namespace Local {

EntityManager::EntityManager() : root_(new Kel::Dir("")) {}

void EntityManager::doMount(Vosk::String const& path, Vosk::String const& typeName) {
    mounts_.push_back({path, typeName});
}

Kel::Ptr<Kel::Entity> EntityManager::getEntity(std::string_view path) const {
    return root_->entityAt(path);
}

void EntityManager::entityIs(std::string_view path, Kel::Ptr<Kel::Entity> const& entity) {
    root_->entityAtIs(path, entity);
}

Kel::Ptr<Kel::Entity> EntityManager::entityDel(std::string_view path) {
    return root_->entityAtDel(path);
}

}  // namespace Local
