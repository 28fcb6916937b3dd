#include "Toggle/Toggle.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <mutex>

#include <nlohmann/json.hpp>

namespace {

std::mutex stateMutex;
std::string toggleDir;
std::string lastErrorText;

}  // namespace

std::uint32_t getToggleState(std::string const& name, std::string const& file, bool defaultState) {
    std::lock_guard lock(stateMutex);
    std::string const path = (toggleDir.empty() ? "/etc/plinth" : toggleDir) + "/" + file;
    lastErrorText.clear();
    auto fallBack = [&](std::string const& why) {
        lastErrorText = path + ": " + why;
        return defaultState;
    };
    std::ifstream in(path);
    if (!in) {
        return errno == ENOENT ? defaultState : fallBack(std::strerror(errno));
    }
    nlohmann::json toggles;
    try {
        toggles = nlohmann::json::parse(in);
    } catch (std::exception const& e) {  // a parse error, or a file that cannot be read
        return fallBack(e.what());
    }
    if (!toggles.is_object()) {
        return fallBack("not a JSON object");
    }
    auto it = toggles.find(name);
    if (it == toggles.end()) {
        return defaultState;
    }
    // A state is a flag or a number whose bits its reader interprets.
    if (it->is_boolean()) {
        return it->get<bool>();
    }
    if (it->is_number_unsigned() && it->get<std::uint64_t>() <= UINT32_MAX) {
        return it->get<std::uint32_t>();
    }
    return fallBack(name + " is neither true, false nor a 32-bit unsigned number");
}

namespace Toggle {

void toggleDirIs(std::string const& dir) {
    std::lock_guard lock(stateMutex);
    toggleDir = dir;
}

std::string lastError() {
    std::lock_guard lock(stateMutex);
    return lastErrorText;
}

}  // namespace Toggle
