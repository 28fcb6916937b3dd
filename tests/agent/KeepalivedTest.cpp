// Two switches, each a network namespace with a VRRP daemon and a following
// plinth-agent, joined by a veth pair: the table follows VRRP mastership.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>

#include "ChildProcess.h"
#include "FollowingAgent.h"
#include "KernelNamespace.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using PlinthTest::ChildProcess;
using PlinthTest::FollowingAgent;
using PlinthTest::sh;

constexpr char const* kVirtualMac = "00:00:5e:00:01:0a";
constexpr char const* kAdd = "vrrp add 00:00:5e:00:01:0a vlan=10";
constexpr char const* kDel = "vrrp del 00:00:5e:00:01:0a vlan=10";

class KeepalivedTest : public PlinthTest::KernelNamespaceTest {
  protected:
    void SetUp() override {
        KernelNamespaceTest::SetUp();
        if (HasFatalFailure() || IsSkipped()) {
            return;
        }
        if (std::system("keepalived --version >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "keepalived is not installed (scripts/setup installs it)";
        }
        dir_ = fs::temp_directory_path() / ("plinth-keepalived-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        if (!dir_.empty()) {
            fs::remove_all(dir_);
        }
    }

    // One switch: its daemon's configuration, and the daemon started in
    // the foreground with its own pid files, logging to a file.
    std::unique_ptr<ChildProcess> keepalived(std::string const& side, int priority) {
        fs::path const conf = dir_ / (side + ".conf");
        std::ofstream(conf) << "global_defs {\n    router_id " << side
                            << "\n}\n"
                               "vrrp_instance VI_10 {\n"
                               "    state BACKUP\n"
                               "    interface Vlan10\n"
                               "    virtual_router_id 10\n"
                               "    priority "
                            << priority
                            << "\n"
                               "    advert_int 1\n"
                               "    use_vmac\n"
                               "    virtual_ipaddress {\n        10.0.10.254/24\n    }\n"
                               "}\n";
        auto const base = (dir_ / side).string();
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{"ip", "netns", "exec", side, "keepalived", "-n", "-l", "-P",
                                     "-f", conf.string(), "-p", base + ".pid", "-r",
                                     base + ".vrrp.pid"},
            base + ".log", std::vector<std::string>{}, base + ".out");
    }
    std::string log(std::string const& side) const {
        return PlinthTest::slurp(dir_ / (side + ".log"));
    }
    // Whether the agent's last word on the virtual MAC was an add.
    static bool holding(FollowingAgent const& agent) {
        for (auto it = agent.lines().rbegin(); it != agent.lines().rend(); ++it) {
            if (*it == std::string("kernel: ") + kAdd || *it == std::string("kernel: ") + kDel) {
                return *it == std::string("kernel: ") + kAdd;
            }
        }
        return false;
    }
    // Reads both agents until `done()` holds or `timeout` passes.
    static bool watch(FollowingAgent& a, FollowingAgent& b, std::function<bool()> const& done,
                      std::chrono::milliseconds timeout) {
        auto const end = std::chrono::steady_clock::now() + timeout;
        while (!done() && std::chrono::steady_clock::now() < end) {
            a.readFor(20ms);
            b.readFor(20ms);
        }
        return done();
    }
    static bool holds(nlohmann::json const& dump) {
        for (auto const& entry : dump["table"]) {
            if (entry["addr"] == kVirtualMac && entry["vlan"] == 10) {
                return true;
            }
        }
        return false;
    }

    fs::path dir_;
};

TEST_F(KeepalivedTest, TableFollowsMastershipAcrossFailover) {
    auto const began = std::chrono::steady_clock::now();
    ASSERT_TRUE(
        sh("ip netns add high && ip netns add low && "
           "ip link add Vlan10 netns high type veth peer name Vlan10 netns low && "
           "ip -n high link set Vlan10 up && ip -n low link set Vlan10 up && "
           "ip -n high addr add 10.0.10.1/24 dev Vlan10 && "
           "ip -n low addr add 10.0.10.2/24 dev Vlan10"));
    FollowingAgent high("", dir_, {}, {"ip", "netns", "exec", "high"});
    FollowingAgent low("", dir_, {}, {"ip", "netns", "exec", "low"});
    auto highDaemon = keepalived("high", 200);
    auto lowDaemon = keepalived("low", 100);

    // Both start as backup and wait three advertisement intervals; should
    // the low side win that race, the high side preempts it.
    ASSERT_TRUE(watch(
        high, low, [&] { return holding(high) && !holding(low); }, 10s))
        << log("high") << log("low");

    ASSERT_EQ(highDaemon->stop(SIGTERM, 5s), 0) << log("high");
    EXPECT_TRUE(watch(
        high, low, [&] { return !holding(high) && holding(low); }, 5s))
        << log("low");

    ASSERT_EQ(high.stop(), 0) << high.err();
    ASSERT_EQ(low.stop(), 0) << low.err();
    EXPECT_FALSE(holds(high.finalDump())) << high.finalDump();
    EXPECT_TRUE(holds(low.finalDump())) << low.finalDump();
    EXPECT_EQ(lowDaemon->stop(SIGTERM, 5s), 0) << log("low");
    EXPECT_LT(std::chrono::steady_clock::now() - began, 30s);
}

}  // namespace
