#include "Toggle/Toggle.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>

#include <nlohmann/json.hpp>

namespace {

std::mutex stateMutex;
std::string toggleDir;
std::string lastErrorText;

// The toggle's value, or the reason the file gives none (empty when there is
// simply no such file or name).
std::optional<bool> readToggle(std::string const& path, std::string const& name,
                               std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = errno == ENOENT ? "" : std::strerror(errno);
        return std::nullopt;
    }
    nlohmann::json toggles;
    try {
        toggles = nlohmann::json::parse(in);
    } catch (std::exception const& e) {  // a parse error, or a file that cannot be read
        std::string what = e.what();
        std::size_t tag = what.find("] ");  // "[json.exception...] parse error at line ..."
        error = tag == std::string::npos ? what : what.substr(tag + 2);
        return std::nullopt;
    }
    if (!toggles.is_object()) {
        error = "not a JSON object";
        return std::nullopt;
    }
    auto it = toggles.find(name);
    if (it == toggles.end()) {
        return std::nullopt;
    }
    if (!it->is_boolean()) {
        error = name + " is neither true nor false";
        return std::nullopt;
    }
    return it->get<bool>();
}

}  // namespace

std::uint32_t getToggleState(std::string const& name, std::string const& file, bool defaultState) {
    std::lock_guard lock(stateMutex);
    std::string const path = (toggleDir.empty() ? "/etc/plinth" : toggleDir) + "/" + file;
    std::string error;
    std::optional<bool> state = readToggle(path, name, error);
    lastErrorText = error.empty() ? "" : path + ": " + error;
    return state.value_or(defaultState) ? 1U : 0U;
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
