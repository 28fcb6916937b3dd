#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "PlinthL3Records/MyStationTable.h"

namespace PlinthAgent {

// What the host asks of a datapath that does the chip's work on real frames
// with the entries of the chip's table. The host knows only this; the
// datapath itself lives outside the host library.
class TableDatapath {
  public:
    struct Port {
        std::string name;
        std::uint16_t vlan;  // of its untagged frames
        std::uint64_t seen;
        std::uint64_t forRouter;
    };

    virtual ~TableDatapath() = default;

    // Called after every command: the chip's table as it stands (null when
    // there is none), whether the table reports running, and whether the
    // chip asks for tagged entries.
    virtual void tableIs(Kel::Ptr<PlinthL3Unicast::MyStationTable> const& table, bool running,
                         bool taggedEntries) = 0;
    // The frames the table entry under `key` matched.
    virtual std::uint64_t hits(PlinthL3Unicast::MacVlanTagged const& key) const = 0;
    // The ports still attached, in the order they were named. A port found
    // removed is warned about and dropped.
    virtual std::vector<Port> ports() = 0;
    // Table entries the datapath does not hold: more than its maps hold,
    // or a match it cannot express.
    virtual std::size_t notMirrored() const = 0;
};

}  // namespace PlinthAgent
