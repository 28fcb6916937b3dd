#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace PlinthAgent::Datapath {

class Program;

struct PortSpec {
    std::string name;
    int ifindex;
    std::uint16_t vlan;  // of its untagged frames
};

// The ports named, with the VLAN of their untagged frames: `vlans[NAME]`,
// else N for a port named VlanN or vlanN, else 0. Throws Error naming a port
// that does not exist.
std::vector<PortSpec> portsNamed(std::vector<std::string> const& names,
                                 std::map<std::string, std::uint16_t> const& vlans);

// The program at the ingress of one port, under a handle and priority of
// its own: attaching again replaces only our filter, never another's. The
// clsact qdisc is made when the port has none, and then recorded in the
// ports map as ours to remove.
class Attachment {
  public:
    // Writes the port's record (keeping its counts), then attaches. Throws
    // Error, with nothing attached.
    Attachment(PortSpec spec, Program const& program);
    // Detaches unless kept(): with pins, the port goes on terminating frames
    // after the agent.
    ~Attachment();
    Attachment(Attachment const&) = delete;
    Attachment& operator=(Attachment const&) = delete;

    void keep() { keep_ = true; }
    PortSpec const& spec() const { return spec_; }
    // Whether the port is still the one attached to (not removed, nor
    // replaced by another of the same name).
    bool present() const;
    // Frames seen, then frames terminated.
    std::pair<std::uint64_t, std::uint64_t> counts() const;
    // Stops caring for a port that is gone; nothing to detach.
    void forget();

  private:
    PortSpec spec_;
    int portsFd_;
    bool keep_ = false;
};

// Takes the program off the port, removes the clsact qdisc when we made it
// and no other filter is left on it, and drops the port's record (when
// `portsFd` is a map). A port without our program is left as it is. 0, or
// the negative errno of taking the program off.
int detach(int ifindex, int portsFd);

}  // namespace PlinthAgent::Datapath
