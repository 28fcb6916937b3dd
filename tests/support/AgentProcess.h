#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace PlinthTest {

inline std::string slurp(std::filesystem::path const& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Every line of `out` that is JSON: what the `dump`s printed, in order.
inline std::vector<nlohmann::json> jsonLines(std::string const& out) {
    std::vector<nlohmann::json> dumps;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("{")) {
            dumps.push_back(nlohmann::json::parse(line));
        }
    }
    return dumps;
}

// What the last `dump` in `out` printed (null when none did).
inline nlohmann::json lastDump(std::string const& out) {
    auto dumps = jsonLines(out);
    return dumps.empty() ? nlohmann::json() : dumps.back();
}

// What one run of plinth-agent left behind.
struct AgentRun {
    int status;  // -1 when the agent did not exit normally (a crash)
    std::string out, err;
};

// A test with a scratch directory of its own for the agent's files. Each
// test runs in a process of its own, so the process id names it.
class AgentDirTest : public ::testing::Test {
  protected:
    void SetUp() override { std::filesystem::create_directories(dir_); }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // Runs the built agent with `args`, `input` on standard input.
    AgentRun run(std::string const& args, std::string const& input = "") {
        std::string const in = file("in", input), out = dir_ / "out", err = dir_ / "err";
        int const raw = std::system(
            (PLINTH_AGENT_PATH " " + args + " <" + in + " >" + out + " 2>" + err).c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
    }
    std::string file(std::string const& name, std::string const& text) {
        std::ofstream(dir_ / name) << text;
        return dir_ / name;
    }

    std::filesystem::path const dir_ =
        std::filesystem::temp_directory_path() / ("plinth-agent-" + std::to_string(::getpid()));
};

}  // namespace PlinthTest
