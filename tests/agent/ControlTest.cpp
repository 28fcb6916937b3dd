// plinth-agent's control socket, as plinth-ctl and hostile or careless
// clients use it, while the agent follows the kernel in a private network
// namespace. Whatever a client does, a kernel change still reaches the
// table, and a bad request changes nothing.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "AgentProcess.h"
#include "UniqueFd.h"

namespace {

using namespace PlinthTest;
using PlinthAgent::UniqueFd;

std::string const kPath = "/run/ctl.sock", kRecord = "/run/record.scn";
std::string const kVrrpAdd = "vrrp add 00:00:5e:00:01:0a vlan=10";
std::string const kVrrpDel = "vrrp del 00:00:5e:00:01:0a vlan=10";

// A socket connected to `path`, or bound there when `bind` (and never
// listened on or removed: a stale socket file).
UniqueFd connectTo(std::string const& path, bool bind = false) {
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    path.copy(address.sun_path, sizeof(address.sun_path) - 1);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    auto const* a = reinterpret_cast<sockaddr*>(&address);
    if ((bind ? ::bind(fd.get(), a, sizeof(address)) : ::connect(fd.get(), a, sizeof(address)))) {
        fd.reset();
    }
    return fd;
}

void send(UniqueFd const& fd, std::string const& bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
        ssize_t n = ::send(fd.get(), bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0) {
            return;  // dropped by the agent: what it says is read after
        }
        at += static_cast<std::size_t>(n);
    }
}

// What the agent sends until it ends its answer (`ok` or `error: ...`), or
// with `toEnd` until it closes the connection; 10 s at most on a socket.
std::string receive(UniqueFd const& fd, bool toEnd = false) {
    timeval limit{10, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    std::string got;
    char chunk[4096];
    while (toEnd || !(got.ends_with("ok\n") || got.find("error: ") != got.npos)) {
        ssize_t n = ::read(fd.get(), chunk, sizeof(chunk));
        if (n <= 0) {
            break;
        }
        got.append(chunk, static_cast<std::size_t>(n));
    }
    return got;
}

// The answer to `line` on `fd`, or on a connection of its own.
std::string ask(std::string const& line, UniqueFd const* fd = nullptr) {
    UniqueFd own;
    if (fd == nullptr) {
        own = connectTo(kPath);
        fd = &own;
    }
    send(*fd, line + "\n");
    return receive(*fd);
}

// A fault and its checks; the connections it leaves in `held` stay open
// while the kernel changes, and the last one is asked for the table.
struct Fault {
    char const* name;
    std::function<void(class ControlFaultTest& test, std::vector<UniqueFd>& held)> fault;
};

void PrintTo(Fault const& f, std::ostream* out) {
    *out << f.name;
}

// A stale socket file at the path, then the agent following a VRRP master
// and serving the socket.
class ControlFaultTest : public KernelNamespaceTest, public testing::WithParamInterface<Fault> {
  public:
    using AgentDirTest::run;
    FollowingAgent& agent() { return *agent_; }
    // plinth-ctl ARGS on the agent's socket, run after `prefix`.
    AgentRun ctl(std::string const& args, std::string const& prefix = "") {
        return run("--control " + kPath + " " + args, "", prefix + PLINTH_CTL_PATH);
    }

  protected:
    void SetUp() override {
        KernelNamespaceTest::SetUp();
        if (IsSkipped() || HasFailure()) {
            return;
        }
        ASSERT_TRUE(connectTo(kPath, true));
        ASSERT_EQ(std::system("ip link add Vlan10 type veth peer name p10 && ip link set p10 up && "
                              "ip link set Vlan10 up && ip link add vrrp10 link Vlan10 address "
                              "00:00:5e:00:01:0a type macvlan && ip link set vrrp10 up && "
                              "ip addr add 10.0.10.254/24 dev vrrp10"),
                  0);
        agent_.emplace("agent", "--control " + kPath + " --record " + kRecord);
        ASSERT_TRUE(agent_->waitFor({kVrrpAdd}));
    }

    // Takes the VRRP link down and up again, each change waited for in the
    // agent's lines and then looked for in its table, through `client`
    // when given.
    void kernelChangeReachesTheTable(UniqueFd const* client) {
        agent_->mark();
        ASSERT_EQ(std::system("ip link set vrrp10 down"), 0);
        ASSERT_TRUE(agent_->waitFor({kVrrpDel}));
        EXPECT_EQ(ask("show table", client).find("00:00:5e:00:01:0a"), std::string::npos);
        ASSERT_EQ(std::system("ip link set vrrp10 up"), 0);
        ASSERT_TRUE(agent_->waitFor({kVrrpAdd}));
        EXPECT_NE(ask("show table", client).find("00:00:5e:00:01:0a"), std::string::npos);
    }

    std::optional<FollowingAgent> agent_;
};

TEST_P(ControlFaultTest, LeavesTheAgentFollowing) {
    std::vector<UniqueFd> held;
    ASSERT_NO_FATAL_FAILURE(GetParam().fault(*this, held));
    ASSERT_NO_FATAL_FAILURE(kernelChangeReachesTheTable(held.empty() ? nullptr : &held.back()));
    held.clear();
    EXPECT_EQ(agent_->stop(SIGTERM), 0) << agent_->err();
    EXPECT_TRUE(agent_->finalDump()["running"]);
    EXPECT_FALSE(std::filesystem::exists(kPath)) << "the socket file outlived the agent";
}

// Connections that have each had an answer, so the agent holds them all.
std::vector<UniqueFd> served(int count) {
    std::vector<UniqueFd> fds;
    for (int i = 0; i < count; ++i) {
        fds.push_back(connectTo(kPath));
        send(fds.back(), "show running\n");
        EXPECT_TRUE(receive(fds.back()).ends_with("ok\n")) << "client " << i;
    }
    return fds;
}

Fault const kFaults[] = {
    {"PeerOfAnotherUser",
     [](ControlFaultTest& t, auto&) {
         using enum std::filesystem::perms;
         EXPECT_EQ(std::filesystem::status(kPath).permissions(), owner_read | owner_write);
         // Opened up on purpose, so that only the peer check stands in the way.
         std::filesystem::permissions(kPath, all);
         AgentRun r = t.ctl("show running", "setpriv --reuid=65534 --regid=65534 --clear-groups ");
         EXPECT_EQ(r.status, 2);
         EXPECT_EQ(r.err, "plinth-ctl: error: permission denied\n");
         EXPECT_TRUE(waitUntil([&] {
             return t.agent().err().find("warning: control: refused a client of user 65534") !=
                    std::string::npos;
         })) << t.agent().err();
     }},
    {"LineTooLong",
     [](ControlFaultTest&, auto&) {
         UniqueFd fd = connectTo(kPath);
         send(fd, "show running\n" + std::string(4096, ' ') + "\n" + std::string(5000, 'x'));
         EXPECT_TRUE(receive(fd, true).ends_with("true\nok\nok\nerror: line too long\n"));
         UniqueFd again = connectTo(kPath);
         send(again, std::string(4097, ' ') + "\nshow running\n");
         EXPECT_EQ(receive(again, true), "error: line too long\n");
     }},
    {"GarbageAndBadCommandsChangeNothing",
     [](ControlFaultTest& t, auto&) {
         FollowingAgent& agent = t.agent();
         std::string const before = ask("dump");
         UniqueFd fd = connectTo(kPath);
         std::pair<std::string, std::string> const lines[] = {
             {std::string("\xff\xfe\x01\0 x", 6), "error: unknown command '\xff\xfe\x01"},
             {"router-mac set 00:1c:73:00:00:01 interface routing=maybe",
              "error: router-mac: routing must be on|off, not 'maybe'\n"},
             {"vrrp add 00:00:5e:00:01:0b vlan=x",
              "error: vrrp: bad VLAN 'x' (a number from 0 to 4294967295)\n"},
             {"start", "error: start: refused while following the kernel\n"},
             {"stop", "error: stop: refused while following the kernel\n"},
             {"remount", "error: remount: refused while following the kernel\n"},
             {"chip tagged-entry on", "error: set-up commands are refused once start has run\n"},
         };
         for (auto const& [line, answer] : lines) {
             send(fd, line + "\n");
             EXPECT_TRUE(receive(fd).starts_with(answer)) << line;
         }
         EXPECT_EQ(ask("dump"), before);
         EXPECT_EQ(slurp(kRecord), agent.recorded());
     }},
    {"ClientThatNeverReads",
     [](ControlFaultTest& t, auto&) {
         FollowingAgent& agent = t.agent();
         UniqueFd fd = connectTo(kPath);
         std::string dumps;
         for (int i = 0; i < 4000; ++i) {
             dumps += "dump\n";
         }
         send(fd, dumps);
         EXPECT_TRUE(waitUntil(
             [&] {
                 return agent.err().find(
                            "warning: control: dropped a client that left more than 1 MiB of "
                            "answers unread") != std::string::npos;
             },
             30s))
             << agent.err();
     }},
    {"SeventeenClients",
     [](ControlFaultTest&, auto& held) {
         held = served(16);
         UniqueFd last = connectTo(kPath);
         EXPECT_EQ(receive(last, true), "error: too many clients\n");
         held.erase(held.begin());
         // A place is free once the agent has seen the client leave.
         EXPECT_TRUE(waitUntil([&] {
             held.push_back(connectTo(kPath));
             send(held.back(), "show running\n");
             return receive(held.back()).ends_with("ok\n");
         }));
     }},
    {"ClientGoneMidAnswer",
     [](ControlFaultTest&, auto&) {
         for (int round = 0; round < 3; ++round) {
             UniqueFd fd = connectTo(kPath);
             linger abort{1, 0};  // a reset, not a tidy close
             ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
             send(fd, "dump\ndump\ndump\ndump\n");
         }
     }},
    {"SecondAgentOnThePath",
     [](ControlFaultTest& t, auto&) {
         AgentRun r = t.run("--follow-kernel --for 0 --control " + kPath);
         EXPECT_EQ(r.status, 2);
         EXPECT_EQ(r.err, "plinth-agent: error: --control: " + kPath +
                              " is already in use by a running agent\n");
         EXPECT_TRUE(ask("show running").ends_with("ok\n")) << "the first one still answers";
     }},
    {"RecordMovedAwayThenSighup",
     [](ControlFaultTest& t, auto&) {
         FollowingAgent& agent = t.agent();
         std::string const before = agent.recorded();
         std::filesystem::rename(kRecord, kRecord + ".1");
         agent.signal(SIGHUP);
         agent.signal(SIGUSR1);
         agent.mark();
         ASSERT_EQ(std::system("ip link set vrrp10 protodown on"), 0);
         ASSERT_TRUE(agent.waitFor({kVrrpDel}));
         EXPECT_EQ(slurp(kRecord + ".1"), before);
         EXPECT_EQ(slurp(kRecord), kVrrpDel + "\n");
         ASSERT_EQ(std::system("ip link set vrrp10 protodown off"), 0);
         ASSERT_TRUE(agent.waitFor({kVrrpAdd}));
     }},
};
INSTANTIATE_TEST_SUITE_P(, ControlFaultTest, testing::ValuesIn(kFaults),
                         [](auto const& info) { return std::string(info.param.name); });

}  // namespace

namespace {

using WalkthroughTest = KernelNamespaceTest;
using ControlOnlyTest = AgentDirTest;

// Without the kernel the agent serves until it is stopped, the life cycle
// included; plinth-ctl says how each line went in its exit status.
TEST_F(ControlOnlyTest, ServesUntilStoppedAndRecordsWhatChanged) {
    std::string const path = dir_ / "s.sock", record = dir_ / "record.scn";
    ChildProcess agent(PLINTH_AGENT_PATH " --control " + path + " --record " + record + " " +
                       file("set-up.scn", "chip tagged-entry on\n") + " >" + file("agent.out", "") +
                       " 2>" + file("agent.err", ""));
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(path); }));
    auto const ctl = [&](std::string const& args, std::string const& input = "") {
        return run("--control " + path + " " + args, input, PLINTH_CTL_PATH);
    };
    EXPECT_EQ(ctl("start").status, 0);
    AgentRun r = ctl("", "fap add 0\nvrrp add 00:00:5e:00:01:0a vlan=10\nfrob\nshow running\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "state    value\nstarted  true\nrunning  true\n");
    EXPECT_EQ(r.err, "plinth-ctl: error: unknown command 'frob'\n");
    EXPECT_EQ(ctl("--control " + (dir_ / "none.sock").string() + " dump").status, 1);
    auto const asked = ctl("dump");
    EXPECT_EQ(agent.stop(SIGTERM), 0);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(slurp(record), "start\nfap add 0\nvrrp add 00:00:5e:00:01:0a vlan=10\n");
    auto const out = slurp(dir_ / "agent.out");
    EXPECT_EQ(jsonLines(out).size(), 1U) << "only the final dump goes to standard output";
    EXPECT_EQ(lastDump(out), lastDump(asked.out)) << out;
    EXPECT_EQ(lastDump(out)["table"].size(), 2U) << "the VRRP entry and its tagged twin";
}

// The README's walkthrough of following a Linux router, run as written, so
// that its text cannot drift from what the programs do.
TEST_F(WalkthroughTest, RunsAsWrittenInTheReadme) {
    std::string const readme = slurp(std::filesystem::path(PLINTH_SOURCE_DIR) / "README.md");
    auto const section = readme.find("\n## Following a Linux router\n");
    auto const start = readme.find("```sh\n", section) + 6;
    ASSERT_NE(section, std::string::npos);
    std::string const commands = readme.substr(start, readme.find("```\n", start) - start);
    std::string const bin = std::filesystem::path(PLINTH_AGENT_PATH).parent_path();
    int const raw = std::system(("cd " + dir_.string() + " && PATH=" + bin + ":$PATH bash -e " +
                                 file("walk.sh", commands) + " >out 2>err")
                                    .c_str());
    std::string const out = slurp(dir_ / "out");
    ASSERT_EQ(WEXITSTATUS(raw), 0) << out << slurp(dir_ / "err");
    auto const tables = out.substr(0, out.find("kernel: "));
    auto const failover = tables.find("\naddr ");
    auto const rows = [](std::string const& text) {
        std::size_t n = 0;
        for (auto at = text.find("\n00:00:5e:00:01:0a  10 "); at != text.npos;
             at = text.find("\n00:00:5e:00:01:0a  10 ", at + 1)) {
            ++n;
        }
        return n;
    };
    EXPECT_EQ(rows(tables.substr(0, failover)), 0U) << tables;
    EXPECT_EQ(rows(tables.substr(failover)), 2U) << "the VRRP entry and its tagged twin\n"
                                                 << tables;
    EXPECT_NE(out.find("\nfollowing: 4 links, "), std::string::npos) << out;
    EXPECT_NE(out.find("\nkernel: vrrp add 00:00:5e:00:01:0a vlan=10  # vrrp10 on Vlan10 at "),
              std::string::npos);
    auto const dumps = jsonLines(out);
    ASSERT_EQ(dumps.size(), 2U) << out;
    EXPECT_EQ(dumps[1], dumps[0]) << "the replay rebuilt another table";
    EXPECT_TRUE(std::ranges::any_of(dumps[1]["table"], [](auto const& e) { return e["tagged"]; }))
        << "the replay left out the scenario file";
}

}  // namespace
