#include "Program.h"

#include <bpf/libbpf.h>
#include <net/if.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "DatapathMaps.h"
#include "DatapathTrace.h"
#include "PerCpu.h"
#include "datapath.skel.h"

namespace PlinthAgent::Datapath {

namespace {

int libbpfMessage(libbpf_print_level level, char const* format, va_list args) {
    if (level == LIBBPF_DEBUG) {
        return 0;
    }
    char text[512];
    int const n = std::vsnprintf(text, sizeof text, format, args);
    std::string_view line(text, n < 0 ? 0 : std::min<std::size_t>(n, sizeof text - 1));
    while (!line.empty() && line.back() == '\n') {
        line.remove_suffix(1);
    }
    if (level == LIBBPF_WARN) {
        KEL_TRACE(trace(), 1, kSource, "libbpf: %s", line);
    } else {
        KEL_TRACE(trace(), 2, kSource, "libbpf: %s", line);
    }
    return 0;
}

std::string loadFailure(int error) {
    if (error == EPERM || error == EACCES) {
        return std::string("no permission to load an eBPF program (run as root): ") +
               std::strerror(error);
    }
    return std::string("cannot load the eBPF program: ") + std::strerror(error) +
           " (trace Datapath/1 says more)";
}

}  // namespace

std::string pinPath(std::string const& dir, std::string const& object) {
    return dir + "/" + object + "_v" + std::to_string(kMapLayout);
}

void pinsRemove(std::string const& dir) {
    std::string const suffix = pinPath("", "");
    std::error_code ec;
    for (auto const& pin : std::filesystem::directory_iterator(dir, ec)) {
        if (pin.path().filename().string().ends_with(suffix.substr(1))) {
            ::unlink(pin.path().c_str());
        }
    }
}

bool programsPinned(std::string const& dir) {
    std::string const prefix = "my_station_", suffix = pinPath("", "").substr(1);
    std::error_code ec;
    for (auto const& pin : std::filesystem::directory_iterator(dir, ec)) {
        std::string const name = pin.path().filename();
        if (!name.starts_with(prefix) || !name.ends_with(suffix)) {
            continue;
        }
        // The pin of a port deleted since counts for nothing.
        std::string const port =
            name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
        if (::if_nametoindex(port.c_str()) != 0) {
            return true;
        }
    }
    return false;
}

void libbpfMessagesTraced() {
    libbpf_set_print(libbpfMessage);
}

std::uint32_t MapSizes::slots() const {
    std::uint32_t slots = 1;
    while (slots < 4 * (std::uint64_t(macs) + vlans)) {
        slots *= 2;
    }
    return slots;
}

void Program::Destroy::operator()(::datapath* skeleton) const {
    datapath__destroy(skeleton);
}

Program::Program(std::string pinDir, MapSizes sizes)
    : pinDir_(std::move(pinDir)),
      skeleton_(datapath__open()),
      slots_(sizes.slots()),
      cpus_(cpuCount()) {
    if (!skeleton_) {
        throw Error(std::string("cannot open the eBPF program: ") + std::strerror(errno));
    }
    auto const& maps = skeleton_->maps;
    bpf_map__set_max_entries(maps.table, slots_);
    bpf_map__set_max_entries(maps.hits, slots_ * cpus_);
    sizesBuiltIn();
    if (!pinDir_.empty()) {
        tookOver_ = ::access(pinPath(pinDir_, "table").c_str(), F_OK) == 0;
        for (bpf_map* map : {maps.table, maps.hits, maps.ports}) {
            bpf_map__set_pin_path(map, pinPath(pinDir_, bpf_map__name(map)).c_str());
        }
    }
    // libbpf takes a pinned map over when it has the same type and sizes,
    // and unpins the maps it pinned itself when the load fails.
    load();
}

Program::Program(Program const& maps, std::uint32_t portSlot)
    : pinDir_(maps.pinDir_), skeleton_(datapath__open()), slots_(maps.slots_), cpus_(maps.cpus_) {
    if (!skeleton_) {
        throw Error(std::string("cannot open the eBPF program: ") + std::strerror(errno));
    }
    skeleton_->rodata->port_slot = portSlot;
    sizesBuiltIn();
    bpf_program__set_autoload(skeleton_->progs.pass, false);
    auto const& mine = skeleton_->maps;
    auto const& theirs = maps.skeleton_->maps;
    bpf_map__reuse_fd(mine.table, bpf_map__fd(theirs.table));
    bpf_map__reuse_fd(mine.hits, bpf_map__fd(theirs.hits));
    bpf_map__reuse_fd(mine.ports, bpf_map__fd(theirs.ports));
    load();
}

void Program::sizesBuiltIn() {
    skeleton_->rodata->slot_mask = slots_ - 1;
    skeleton_->rodata->cpu_count = cpus_;
}

void Program::load() {
    libbpfMessagesTraced();
    if (int const error = datapath__load(skeleton_.get()); error != 0) {
        throw Error(loadFailure(-error));
    }
}

Program::~Program() = default;

void Program::pin(std::string const& port) {
    if (pinDir_.empty()) {
        return;
    }
    std::string const path = pinPath(pinDir_, "my_station_" + port);
    ::unlink(path.c_str());
    if (int const error = bpf_program__pin(skeleton_->progs.my_station, path.c_str()); error != 0) {
        throw Error("cannot pin the program at " + path + ": " + std::strerror(-error));
    }
}

int Program::programFd() const {
    return bpf_program__fd(skeleton_->progs.my_station);
}
int Program::floorFd() const {
    return bpf_program__fd(skeleton_->progs.pass);
}
int Program::tableFd() const {
    return bpf_map__fd(skeleton_->maps.table);
}
int Program::hitsFd() const {
    return bpf_map__fd(skeleton_->maps.hits);
}
int Program::portsFd() const {
    return bpf_map__fd(skeleton_->maps.ports);
}

}  // namespace PlinthAgent::Datapath
