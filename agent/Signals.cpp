#include "Signals.h"

#include <signal.h>
#include <sys/signalfd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace PlinthAgent {

namespace {

sigset_t taken() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) {
        sigaddset(&set, s);
    }
    return set;
}

}  // namespace

void Signals::block() {
    sigset_t set = taken();
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

Signals::Signals() {
    sigset_t set = taken();
    fd_.reset(signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!fd_) {
        throw std::runtime_error(std::string("cannot watch for signals: ") + std::strerror(errno));
    }
}

int Signals::next() {
    signalfd_siginfo info{};
    if (::read(fd_.get(), &info, sizeof(info)) != static_cast<ssize_t>(sizeof(info))) {
        return 0;
    }
    return static_cast<int>(info.ssi_signo);
}

}  // namespace PlinthAgent
