#include "Applier.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "Host.h"

namespace PlinthAgent {

Applier::Applier(Host& host, std::string recordFile)
    : host_(host), recordFile_(std::move(recordFile)) {}

void Applier::recordStart() {
    if (!recordFile_.empty()) {
        record_.open(recordFile_, std::ios::trunc);
        if (!record_) {
            throw std::runtime_error("--record: cannot open '" + recordFile_ +
                                     "': " + std::strerror(errno));
        }
    }
}

std::vector<std::string> Applier::apply(Scenario::Command const& command, Origin origin,
                                        std::ostream& out) {
    namespace S = Scenario;
    if (following_ && origin == Origin::control &&
        (std::holds_alternative<S::Start>(command) || std::holds_alternative<S::Stop>(command) ||
         std::holds_alternative<S::Remount>(command))) {
        throw CommandError(S::format(command) + ": refused while following the kernel");
    }
    host_.apply(command, out);
    if (record_.is_open() && Scenario::changesState(command)) {
        record_ << Scenario::format(command) << std::endl;
    }
    return host_.warningsTake();
}

bool Applier::reopenRecord() {
    if (recordFile_.empty()) {
        return true;
    }
    record_.close();
    record_.clear();
    record_.open(recordFile_, std::ios::app);
    return record_.is_open();
}

}  // namespace PlinthAgent
