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

std::string const kPath = "/run/ctl.sock", kRecord = "/run/record.scn", kRing = "/run/a.ring";
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

// A blocking send gives up only when the agent dropped the connection: what
// it said then is read after.
void send(UniqueFd const& fd, std::string const& bytes) {
    ::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

// What the agent sends until it ends its answer (`ok` or `error: ...`), or
// with `toEnd` until it closes the connection; 10 s at most on a socket,
// after which a connection still open is marked as such.
std::string receive(UniqueFd const& fd, bool toEnd = false) {
    timeval limit{10, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    std::string got;
    char chunk[4096];
    ssize_t n = 0;
    while ((toEnd || !(got.ends_with("ok\n") || got.find("error: ") != got.npos)) &&
           (n = ::read(fd.get(), chunk, sizeof(chunk))) > 0) {
        got.append(chunk, static_cast<std::size_t>(n));
    }
    return toEnd && n < 0 ? got + "(still open)" : got;
}

// The answer to `line` on `fd`, by default on a connection of its own.
std::string ask(std::string const& line, UniqueFd const& fd = connectTo(kPath)) {
    send(fd, line + "\n");
    return receive(fd);
}

// A client that has had an answer, so the agent holds it.
UniqueFd served() {
    UniqueFd fd = connectTo(kPath);
    return ask("show running", fd).ends_with("ok\n") ? std::move(fd) : UniqueFd();
}

// Whether `agent` says `warning` within `timeout`.
bool warns(BackgroundAgent const& agent, std::string const& warning,
           std::chrono::milliseconds timeout = 10s) {
    return waitUntil([&] { return agent.err().find(warning) != std::string::npos; }, timeout);
}

// A stale socket file at the path, then the agent following a VRRP master
// and serving the socket. Whatever fault a test puts it through, the agent
// must go on following afterwards: TearDown checks that, asking through
// the last connection a test left in `held_` while the others stay open.
class ControlFaultTest : public KernelNamespaceTest {
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
        agent_.emplace("ctl", "--follow-kernel --record " + kRecord + " --ring-file " + kRing);
        ASSERT_TRUE(agent_->waitFor({kVrrpAdd}));
    }
    void TearDown() override {
        if (agent_ && !HasFatalFailure()) {
            kernelChangeReachesTheTable(held_.empty() ? connectTo(kPath) : std::move(held_.back()));
            held_.clear();
            EXPECT_EQ(agent_->stop(SIGTERM), 0) << agent_->err();
        }
        KernelNamespaceTest::TearDown();
    }

    // Takes the VRRP link down and up again, each change waited for in the
    // agent's lines and then looked for in its table through `client`.
    void kernelChangeReachesTheTable(UniqueFd const& client) {
        for (auto const& [state, command] : {std::pair{"down", kVrrpDel}, {"up", kVrrpAdd}}) {
            agent_->mark();
            ASSERT_EQ(std::system((std::string("ip link set vrrp10 ") + state).c_str()), 0);
            ASSERT_TRUE(agent_->waitFor({command}));
            EXPECT_EQ(ask("show table", client).find("00:00:5e:00:01:0a") != std::string::npos,
                      command == kVrrpAdd);
        }
    }

    std::optional<BackgroundAgent> agent_;
    std::vector<UniqueFd> held_;
};

TEST_F(ControlFaultTest, PeerOfAnotherUser) {
    using enum std::filesystem::perms;
    EXPECT_EQ(std::filesystem::status(kPath).permissions(), owner_read | owner_write);
    // Opened up on purpose, so that only the peer check stands in the way.
    std::filesystem::permissions(kPath, all);
    AgentRun r = run("--control " + kPath + " show running", "",
                     "setpriv --reuid=65534 --regid=65534 --clear-groups " PLINTH_CTL_PATH);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "plinth-ctl: error: permission denied\n");
    EXPECT_TRUE(warns(*agent_, "warning: control: refused a client of user 65534 ("));
}

TEST_F(ControlFaultTest, LineTooLong) {
    UniqueFd fd = connectTo(kPath);
    send(fd, "show running\n" + std::string(4096, ' ') + "\n" + std::string(5000, 'x'));
    EXPECT_TRUE(receive(fd, true).ends_with("true\nok\nok\nerror: line too long\n"));
    UniqueFd again = connectTo(kPath);
    send(again, std::string(4097, ' ') + "\nshow running\n");
    EXPECT_EQ(receive(again, true), "error: line too long\n");
    AgentRun r =
        run("--control " + kPath, std::string(5000, 'x') + "\nshow running\n", PLINTH_CTL_PATH);
    EXPECT_EQ(r.status, 2) << "refused, not unreachable: " << r.err;
}

TEST_F(ControlFaultTest, GarbageAndBadCommandsChangeNothing) {
    std::string const before = ask("dump"), recorded = slurp(kRecord);
    UniqueFd fd = connectTo(kPath);
    // clang-format off
    std::pair<std::string, std::string> const lines[] = {
        {std::string("\xff\xfe\x01\0 x", 6), "error: control byte 0x01 at column 3\n"},
        {"start", "error: start: refused while following the kernel\n"},
        {"stop", "error: stop: refused while following the kernel\n"},
        {"remount", "error: remount: refused while following the kernel\n"},
    };
    // clang-format on
    for (auto const& [line, answer] : lines) {
        EXPECT_TRUE(ask(line, fd).starts_with(answer)) << line;
    }
    // Its last lines, far more answers than a socket holds, the last line
    // without a newline, and no more: every answer still comes.
    std::string const shown = ask("show running", fd);
    std::string many, answers;
    for (int i = 0; i < 20000; ++i) {
        many += "show running\n";
        answers += shown;
    }
    send(fd, many + "fap add 70000");
    ::shutdown(fd.get(), SHUT_WR);
    EXPECT_TRUE(receive(fd, true) ==
                answers + "error: fap: bad logical FAP id '70000' (a number from 0 to 65535)\n");
    EXPECT_EQ(ask("dump"), before);
    EXPECT_EQ(slurp(kRecord), recorded);
}

TEST_F(ControlFaultTest, ClientThatNeverReads) {
    UniqueFd fd = connectTo(kPath);
    for (int i = 0; i < 4000; ++i) {
        send(fd, "dump\n");
    }
    std::string const dropped = "client that left more than 1 MiB of answers unread\n";
    EXPECT_TRUE(warns(*agent_, "warning: control: dropped a " + dropped, 30s)) << agent_->err();
}

TEST_F(ControlFaultTest, SeventeenClients) {
    std::ranges::generate_n(std::back_inserter(held_), 16, served);
    EXPECT_TRUE(std::ranges::all_of(held_, [](auto const& fd) { return bool(fd); }));
    EXPECT_EQ(receive(connectTo(kPath), true), "error: too many clients\n");
    held_.erase(held_.begin());
    // A place is free once the agent has seen the client leave.
    EXPECT_TRUE(waitUntil([&] { return bool(held_.emplace_back(served())); }));
}

TEST_F(ControlFaultTest, ClientGoneMidAnswer) {
    for (int round = 0; round < 3; ++round) {
        UniqueFd fd = connectTo(kPath);
        linger abort{1, 0};  // a reset, not a tidy close
        ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
        send(fd, "dump\ndump\ndump\ndump\n");
    }
}

TEST_F(ControlFaultTest, SecondAgentOnThePath) {
    std::filesystem::copy_file(kRing, "/run/b.ring");
    std::string const recorded = slurp(kRecord), ring = slurp(kRing), mine = slurp("/run/b.ring");
    // Refused before it touches anything: the first one's record, its own ring.
    AgentRun r = run("--follow-kernel --for 0 --control " + kPath + " --record " + kRecord +
                     " --ring-file /run/b.ring");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "plinth-agent: error: --control: " + kPath +
                         " is already in use by a running agent\n");
    EXPECT_EQ(slurp(kRecord), recorded);
    EXPECT_TRUE(slurp("/run/b.ring") == mine) << "a ring of its own, 4 MiB: not printed";
    EXPECT_EQ(run("--follow-kernel --for 0 --control /run/b.sock --ring-file " + kRing).err,
              "plinth-agent: error: --ring-file: " + kRing + ": in use by another process\n");
    EXPECT_TRUE(slurp(kRing) == ring) << "the first agent's ring, 4 MiB: not printed";
}

TEST_F(ControlFaultTest, RecordMovedAwayThenSighup) {
    std::string const before = slurp(kRecord);
    std::filesystem::rename(kRecord, kRecord + ".1");
    agent_->signal(SIGHUP);
    agent_->signal(SIGUSR1);
    agent_->mark();
    ASSERT_EQ(std::system("ip link set vrrp10 protodown on"), 0);
    ASSERT_TRUE(agent_->waitFor({kVrrpDel}));
    EXPECT_EQ(slurp(kRecord + ".1"), before);
    EXPECT_EQ(slurp(kRecord), kVrrpDel + "\n");
    ASSERT_EQ(std::system("ip link set vrrp10 protodown off"), 0);
}

using WalkthroughTest = KernelNamespaceTest;
using ControlOnlyTest = AgentDirTest;

// Without the kernel the agent serves until it is stopped, the life cycle
// included; plinth-ctl says how each line went in its exit status.
TEST_F(ControlOnlyTest, ServesUntilStoppedAndRecordsWhatChanged) {
    std::string const record = dir_ / "record.scn";
    BackgroundAgent agent(
        "s", "--record " + record + " " + file("set-up.scn", "chip tagged-entry on\n"), "", dir_);
    auto const ctl = [&](std::string const& args, std::string const& input = "") {
        return run("--control " + agent.socket() + " " + args, input, PLINTH_CTL_PATH);
    };
    EXPECT_EQ(ctl("start").status, 0);
    EXPECT_EQ(ctl("'fap add 1\nfap add 2'").err,
              "plinth-ctl: error: argument 3 holds a newline: a command is one line\n");
    AgentRun r = ctl("", "fap add 0\nvrrp add 00:00:5e:00:01:0a vlan=10\nfrob\nshow running\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "state    value\nrunning  true\nstarted  true\n");
    EXPECT_EQ(r.err, "plinth-ctl: error: unknown command 'frob'\n");
    EXPECT_EQ(ctl("--control " + (dir_ / "none.sock").string() + " dump").status, 1);
    auto const asked = ctl("dump");
    EXPECT_EQ(agent.stop(SIGTERM), 0);
    EXPECT_FALSE(std::filesystem::exists(agent.socket()));
    EXPECT_EQ(slurp(record), "start\nfap add 0\nvrrp add 00:00:5e:00:01:0a vlan=10\n");
    auto const out = agent.out();
    EXPECT_EQ(jsonLines(out).size(), 1U) << "only the final dump goes to standard output";
    EXPECT_EQ(lastDump(out), lastDump(asked.out)) << out;
    EXPECT_EQ(lastDump(out)["table"].size(), 2U) << "the VRRP entry and its tagged twin";
}

// A scenario read from a standard input that stays open does not hold back
// SIGTERM: the agent ends with its dump.
TEST_F(ControlOnlyTest, EndsOnSigtermWhileItsStandardInputStaysOpen) {
    std::string const fifo = dir_ / "in";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ChildProcess writer("sleep 60 >" + fifo);
    BackgroundAgent agent("held", "- <" + fifo, "", dir_);
    EXPECT_EQ(agent.stop(SIGTERM, 5s), 0) << agent.err();
    EXPECT_EQ(agent.finalDump()["started"], false);
}

// The README's walkthrough of following a Linux router, run as written, so
// that its text cannot drift from what the programs do.
TEST_F(WalkthroughTest, RunsAsWrittenInTheReadme) {
    std::string const readme = slurp(std::filesystem::path(PLINTH_SOURCE_DIR) / "README.md");
    auto const section = readme.find("\n## Following a Linux router\n");
    ASSERT_NE(section, std::string::npos);
    auto const start = readme.find("```sh\n", section) + 6;
    std::string const commands = readme.substr(start, readme.find("```\n", start) - start);
    std::string const bin = std::filesystem::path(PLINTH_AGENT_PATH).parent_path();
    AgentRun const walk = run(file("walk.sh", commands), "",
                              "cd " + dir_.string() + " && PATH=" + bin + ":$PATH bash -e");
    std::string const& out = walk.out;
    ASSERT_EQ(walk.status, 0) << out << walk.err;
    // The two tables, before and after the failover, then demo.out.
    auto const tables = out.substr(0, out.find("kernel: "));
    auto const failover = tables.find("\naddr ");
    std::string const row = "\n00:00:5e:00:01:0a  10 ";
    auto const first = tables.find(row), last = tables.rfind(row);
    EXPECT_TRUE(failover < first && first < last && tables.find(row, first + 1) == last)
        << "none before, the VRRP entry and its tagged twin after\n"
        << tables;
    EXPECT_NE(out.find("\nfollowing: 4 links, "), std::string::npos) << out;
    EXPECT_NE(out.find("\nkernel: vrrp add 00:00:5e:00:01:0a vlan=10  # vrrp10 on Vlan10 at "),
              std::string::npos);
    auto const dumps = jsonLines(out);
    ASSERT_EQ(dumps.size(), 2U) << out;
    EXPECT_EQ(dumps[1], dumps[0]) << "the replay rebuilt another table";
}

}  // namespace
