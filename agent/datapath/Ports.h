#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Program.h"

namespace PlinthAgent::Datapath {

struct PortInfo {
    std::string name;
    int ifindex;
    std::uint16_t vlan;  // of its untagged frames
};

// The ports named, with the VLAN of their untagged frames: `vlans[NAME]`,
// else N for a port named VlanN or vlanN, else 0. Throws Error naming a port
// that does not exist.
std::vector<PortInfo> portsNamed(std::vector<std::string> const& names,
                                 std::map<std::string, std::uint16_t> const& vlans);

// A program of the port's own at its ingress, under a handle and priority
// of ours: attaching again replaces only our filter, never another's. The
// clsact qdisc is made when the port has none, and then recorded in the
// port's record as ours to remove.
class Attachment {
  public:
    // Writes the port's record in its slot of the ports map (the slot it
    // had, keeping its counts, or a free one), then attaches. Throws Error,
    // with nothing attached.
    Attachment(PortInfo info, Program const& maps);
    // Detaches unless kept(): with pins, the port goes on terminating frames
    // after the agent.
    ~Attachment();
    Attachment(Attachment const&) = delete;
    Attachment& operator=(Attachment const&) = delete;

    // Pins its program and keeps it attached when this goes.
    void keep();
    PortInfo const& info() const { return info_; }
    Program const& program() const { return program_; }
    // Whether the port is still the one attached to (not removed, nor
    // replaced by another of the same name).
    bool present() const;
    // Frames seen, then frames terminated.
    std::pair<std::uint64_t, std::uint64_t> counts() const;
    // Stops caring for a port that is gone; nothing to detach.
    void forget();

  private:
    PortInfo info_;
    int portsFd_;
    std::uint32_t slot_;
    Program program_;
    bool keep_ = false;
};

// Takes the program off the port, removes the clsact qdisc when we made it
// and no other filter is left on it, and frees the port's slot (when
// `portsFd` is the ports map). A port without our program is left as it is. 0, or
// the negative errno of taking the program off.
int detach(int ifindex, int portsFd);

}  // namespace PlinthAgent::Datapath
