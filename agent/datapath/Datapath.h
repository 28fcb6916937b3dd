#pragma once

#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "MapMirror.h"
#include "Ports.h"
#include "Program.h"
#include "TableDatapath.h"

namespace PlinthAgent::Datapath {

inline constexpr char const* kDefaultPinDir = "/sys/fs/bpf/plinth";

struct Options {
    std::vector<std::string> ports;
    std::string pinDir = kDefaultPinDir;
    // --vlan PORT=N
    std::map<std::string, std::uint16_t> vlans;
};

// How many keys the maps hold: every entry the chip's table can hold, with
// room for the two keys a VLAN entry takes when the chip has no tagged
// entries. `PLINTH_DATAPATH_ENTRIES` shrinks them, for tests of a full map.
MapSizes mapSizes();

// Says one warning; the caller adds who is speaking.
using Warn = std::function<void(std::string const&)>;

// The table's datapath on Linux ports: the program at each port's ingress,
// the table mirrored into its maps.
class EbpfDatapath : public TableDatapath {
  public:
    // Loads (or takes over) the program and attaches it to every port.
    // Throws Error with nothing attached and nothing left behind.
    EbpfDatapath(Options const& options, Warn warn);
    // With pins, the ports go on terminating frames as the last table said;
    // without, the program is taken off them.
    ~EbpfDatapath() override;

    void tableIs(Kel::Ptr<PlinthL3Unicast::MyStationTable> const& table, bool running,
                 bool taggedEntries) override;
    std::uint64_t hits(PlinthL3Unicast::MacVlanTagged const& key) const override;
    std::vector<Port> ports() override;
    std::size_t notMirrored() const override { return mirror_.notMirrored(); }

    // The program of the port named `port`, to run frames through; -1 for
    // none.
    int programFd(std::string const& port) const;
    // An empty program: what a frame costs the same path doing nothing.
    int floorFd() const { return program_.floorFd(); }

  private:
    // The pin directory, or none: made when missing (and removed again when
    // setting up fails).
    class PinDir {
      public:
        PinDir(std::string const& path, Warn const& warn);
        ~PinDir();
        PinDir(PinDir const&) = delete;
        PinDir& operator=(PinDir const&) = delete;
        std::string const& path() const { return path_; }
        void keep() { made_ = false; }

      private:
        std::string path_;
        bool made_ = false;
    };

    void dropRemovedPorts();

    Warn warn_;
    std::vector<PortInfo> infos_;
    PinDir pinDir_;
    Program program_;
    MappedTable mapped_;
    MapMirror mirror_;
    std::list<Attachment> attached_;  // never moved: each detaches when it goes
    Kel::Ptr<PlinthL3Unicast::MyStationTable> table_;
};

// --datapath-remove: takes the program off the ports and removes the pins.
// Throws Error.
void remove(Options const& options);

}  // namespace PlinthAgent::Datapath
