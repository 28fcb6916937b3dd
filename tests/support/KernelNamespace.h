#pragma once

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace PlinthTest {

// Moves this test process into network and mount namespaces of its own, so
// that every link it makes, and every `ip netns` it names, is private to
// it and goes with it. Empty on success, else why it cannot.
inline std::string enterPrivateNamespaces() {
    if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
        return std::string("cannot make a network namespace (unshare: ") + std::strerror(errno) +
               "); run as root";
    }
    // Mounts made from here on stay in this namespace, /run/netns included.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/run", "tmpfs", 0, nullptr) != 0) {
        return std::string("cannot make mounts private: ") + std::strerror(errno);
    }
    if (std::system("ip link set lo up") != 0) {
        return "the ip command (iproute2) does not work here";
    }
    return "";
}

// Tests that need the real kernel: skipped with the reason where namespaces
// cannot be made, failed instead when PLINTH_REQUIRE_NETNS=1.
class KernelNamespaceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string const why = enterPrivateNamespaces();
        if (why.empty()) {
            return;
        }
        char const* required = std::getenv("PLINTH_REQUIRE_NETNS");
        if (required != nullptr && std::string(required) == "1") {
            FAIL() << why << " (PLINTH_REQUIRE_NETNS=1)";
        }
        GTEST_SKIP() << why;
    }
};

}  // namespace PlinthTest
