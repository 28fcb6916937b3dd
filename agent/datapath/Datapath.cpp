#include "Datapath.h"

#include <bpf/bpf.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "DatapathTrace.h"
#include "Scenario.h"

namespace PlinthAgent::Datapath {

namespace {

bool onBpfFs(std::string const& path) {
    struct statfs fs {};
    return ::statfs(path.c_str(), &fs) == 0 && fs.f_type == BPF_FS_MAGIC;
}

std::string systemError(std::string const& what) {
    return what + ": " + std::strerror(errno);
}

}  // namespace

MapSizes mapSizes() {
    std::uint64_t entries = PlinthL3Unicast::MyStationTable::kCapacity;
    if (char const* knob = std::getenv("PLINTH_DATAPATH_ENTRIES"); knob != nullptr && *knob) {
        auto const n = Scenario::parseNumber(knob, entries);
        if (!n || *n == 0) {
            throw Error(std::string("PLINTH_DATAPATH_ENTRIES: bad count '") + knob + "'");
        }
        entries = *n;
    }
    auto const macs = static_cast<std::uint32_t>(entries);
    return {macs, 2 * macs};
}

EbpfDatapath::PinDir::PinDir(std::string const& path, Warn const& warn) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
            throw Error("pin directory '" + path + "' is not a directory");
        }
    } else if (errno != ENOENT) {
        throw Error(systemError("cannot use pin directory '" + path + "'"));
    } else if (std::string const parent = std::filesystem::path(path).parent_path();
               onBpfFs(parent) || ::access(parent.c_str(), F_OK) != 0) {
        // A missing parent is a typo, not a machine without a BPF file system.
        if (::mkdir(path.c_str(), 0700) != 0) {
            throw Error(systemError("cannot make pin directory '" + path + "'"));
        }
        made_ = true;
    }
    if (!onBpfFs(path)) {
        warn("--datapath: '" + path +
             "' is not on a BPF file system: nothing is pinned, and the ports stop terminating "
             "frames when the agent ends");
        return;
    }
    if (::access(path.c_str(), W_OK) != 0) {
        throw Error(systemError("cannot write to pin directory '" + path + "'"));
    }
    path_ = path;
}

EbpfDatapath::PinDir::~PinDir() {
    if (made_) {
        ::rmdir(path_.c_str());
    }
}

EbpfDatapath::EbpfDatapath(Options const& options, Warn warn)
    : warn_(std::move(warn)),
      infos_(portsNamed(options.ports, options.vlans)),
      pinDir_(options.pinDir, warn_),
      program_(pinDir_.path(), mapSizes()),
      mapped_(program_.tableFd(), program_.hitsFd(), program_.slots(), program_.cpus()),
      mirror_(mapped_, mapSizes()) {
    try {
        if (program_.tookOver()) {
            mirror_.adoptLeftovers();
        }
        for (auto const& info : infos_) {
            attached_.emplace_back(info, program_);
        }
        if (!pinDir_.path().empty()) {
            for (auto& port : attached_) {
                port.keep();
            }
        }
    } catch (Error const&) {
        attached_.clear();
        if (!program_.tookOver() && !pinDir_.path().empty()) {
            pinsRemove(pinDir_.path());
        }
        throw;
    }
    pinDir_.keep();
}

EbpfDatapath::~EbpfDatapath() {
    if (table_) {
        table_->mirrorIs(nullptr);
    }
    dropRemovedPorts();
}

void EbpfDatapath::tableIs(Kel::Ptr<PlinthL3Unicast::MyStationTable> const& table, bool running,
                           bool taggedEntries) {
    if (table != table_) {
        if (table_) {
            table_->mirrorIs(nullptr);
        }
        table_ = table;
        mirror_.tableIs(table_.get(), taggedEntries);
        if (table_) {
            table_->mirrorIs(&mirror_);
        }
    }
    // Until its table runs, a new agent's table may still be filling: what
    // an earlier one left goes on terminating frames.
    if (table_ && running) {
        mirror_.prune();
    }
}

std::uint64_t EbpfDatapath::hits(PlinthL3Unicast::MacVlanTagged const& key) const {
    return mirror_.hits(key);
}

int EbpfDatapath::programFd(std::string const& port) const {
    for (auto const& attached : attached_) {
        if (attached.info().name == port) {
            return attached.program().programFd();
        }
    }
    return -1;
}

void EbpfDatapath::dropRemovedPorts() {
    attached_.remove_if([&](Attachment& port) {
        if (port.present()) {
            return false;
        }
        warn_("--datapath: port '" + port.info().name + "' was removed; the other ports go on");
        port.forget();
        return true;
    });
}

std::vector<TableDatapath::Port> EbpfDatapath::ports() {
    dropRemovedPorts();
    std::vector<Port> ports;
    for (auto const& port : attached_) {
        auto const [seen, forRouter] = port.counts();
        ports.push_back({port.info().name, port.info().vlan, seen, forRouter});
    }
    return ports;
}

void remove(Options const& options) {
    libbpfMessagesTraced();
    auto const infos = portsNamed(options.ports, {});
    int const portsFd = bpf_obj_get(pinPath(options.pinDir, "ports").c_str());
    if (portsFd < 0 && (errno == EPERM || errno == EACCES)) {
        throw Error(systemError("no permission to open the pins in '" + options.pinDir + "'"));
    }
    for (auto const& info : infos) {
        if (int const error = detach(info.ifindex, portsFd); error == -EPERM || error == -EACCES) {
            throw Error("no permission for tc on " + info.name +
                        " (run as root): " + std::strerror(-error));
        }
    }
    if (portsFd >= 0) {
        ::close(portsFd);
    }
    for (auto const& info : infos) {
        ::unlink(pinPath(options.pinDir, "my_station_" + info.name).c_str());
    }
    // The maps go with the last port's program: the ports still attached
    // go on reading them, and a new agent takes them over from the pins.
    if (!programsPinned(options.pinDir)) {
        pinsRemove(options.pinDir);
        // Only when nothing else is in it: the directory may not be ours.
        ::rmdir(options.pinDir.c_str());
    }
}

}  // namespace PlinthAgent::Datapath
