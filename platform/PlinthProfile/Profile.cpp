#include "PlinthProfile/Profile.h"

#include <map>
#include <mutex>

namespace PlinthProfile {

namespace {

struct Database {
    std::mutex mutex;
    std::map<std::string, Kel::Ptr<Asic::ChipProfile const>> profiles;
};

Database& database() {
    static Database db;
    return db;
}

}  // namespace

void chipProfileIs(Kel::Ptr<Asic::ChipProfile const> const& profile) {
    std::lock_guard lock(database().mutex);
    database().profiles[profile->chipName()] = profile;
}

void chipProfileDel(std::string const& chipName) {
    std::lock_guard lock(database().mutex);
    database().profiles.erase(chipName);
}

Kel::Ptr<Asic::ChipProfile const> activeChipProfile(Asic::ChipInfo const& chipInfo) {
    std::lock_guard lock(database().mutex);
    auto it = database().profiles.find(chipInfo.chipName);
    return it == database().profiles.end() ? nullptr : it->second;
}

}  // namespace PlinthProfile
