#include "KernelFollower.h"

#include <sys/time.h>

#include <ctime>
#include <iostream>

#include "Applier.h"
#include "Host.h"
#include "KernelNetlink.h"

namespace PlinthAgent::Kernel {

namespace {

void warn(std::ostream& out, std::string const& message) {
    out.flush();
    std::cerr << "plinth-agent: warning: " << message << std::endl;
}

// HH:MM:SS.UUUUUU, local time.
std::string now() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm local{};
    localtime_r(&tv.tv_sec, &local);
    char text[32];
    std::snprintf(text, sizeof(text), "%02d:%02d:%02d.%06ld", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<long>(tv.tv_usec));
    return text;
}

}  // namespace

Follower::Follower(Applier& applier, Netlink& netlink, FollowSettings settings, std::ostream& out)
    : applier_(applier), netlink_(netlink), out_(out), translator_(std::move(settings)) {}

// The agent's own commands: a refusal ends following, as nothing the kernel
// says could be applied after it.
void Follower::applyOwn(Scenario::Command const& command) {
    try {
        for (auto const& failure : applier_.apply(command, Origin::agent, out_)) {
            // Its own start has no scenario line to name: the warning names the agent.
            warn(out_, "mount completion failed: " + failure);
        }
    } catch (std::exception const& e) {
        throw FollowError(e.what());  // which names the command
    }
}

void Follower::applyChanges() {
    for (auto const& [command, source] : translator_.commands(facts_)) {
        try {
            for (auto const& failure : applier_.apply(command, Origin::kernel, out_)) {
                warn(out_, "mount completion failed: " + failure);
            }
        } catch (std::exception const& e) {
            warn(out_, "kernel: " + Scenario::format(command) + ": " + e.what());
            continue;
        }
        out_ << "kernel: " << Scenario::format(command) << "  # " << source.link
             << (source.lower.empty() ? "" : " on " + source.lower) << " at " << now() << std::endl;
    }
    for (auto const& warning : translator_.warningsTake()) {
        warn(out_, warning);
    }
}

// Applies every queued notification; when the kernel dropped some, starts
// again from a full read and keeps what arrived after it.
void Follower::catchUp() {
    while (!netlink_.drain(facts_)) {
        std::cerr << "plinth-agent: note: kernel notifications were lost; reading links and "
                     "addresses again"
                  << std::endl;
        facts_ = netlink_.dump();
    }
}

void Follower::start() {
    if (!applier_.host().started()) {
        applyOwn(Scenario::Start{});
        applyOwn(Scenario::FapAdd{0, Scenario::kDefaultChip});
    }
    facts_ = netlink_.dump();
    catchUp();
    try {
        for (auto const& warning : translator_.check(facts_)) {
            warn(out_, warning);
        }
    } catch (OptionError const& e) {
        throw FollowError(e.what());
    }
    applyChanges();
    out_ << "following: " << facts_.links().size() << " links, " << facts_.addressCount()
         << " addresses" << std::endl;
}

void Follower::notified() {
    catchUp();
    applyChanges();
}

}  // namespace PlinthAgent::Kernel
