#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

struct datapath;

namespace PlinthAgent::Datapath {

// Why the datapath cannot be set up or removed; the message names what.
// Nothing was attached or left behind.
class Error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// How many keys each map holds.
struct MapSizes {
    std::uint32_t macs;
    std::uint32_t vlans;
    std::uint32_t ports;
};

// What a datapath pins: its program, then its maps.
inline constexpr char const* kPinned[] = {"my_station", "macs", "vlans", "ports"};

// The pin of `object` (a map's or the program's name) under `dir`, with the
// map layout in its name.
std::string pinPath(std::string const& dir, char const* object);

// The eBPF program and its maps, loaded. With a pin directory, the maps are
// those pinned there when a datapath before this one left them (taken over,
// entries and counts included), else made and pinned there; the program is
// pinned by pin(). Without one, everything goes when the last user (a port
// it is attached to, this object) does.
class Program {
  public:
    // `pinDir` empty: nothing pinned. Throws Error.
    Program(std::string pinDir, MapSizes sizes);
    ~Program();
    Program(Program const&) = delete;
    Program& operator=(Program const&) = delete;

    // Replaces the program pinned by an earlier datapath with this one.
    void pin();
    // Removes every pin: for a datapath that could not be set up.
    void unpin();
    // Whether the maps were left by an earlier datapath.
    bool tookOver() const { return tookOver_; }

    int programFd() const;
    // An empty program, loaded beside the real one: what a frame costs the
    // test-run path when the program does nothing.
    int floorFd() const;
    int macsFd() const;
    int vlansFd() const;
    int portsFd() const;

  private:
    struct Destroy {
        void operator()(::datapath* skeleton) const;
    };
    std::string pinDir_;
    std::unique_ptr<::datapath, Destroy> skeleton_;
    bool tookOver_ = false;
};

// Sends libbpf's warnings and information to the "Datapath" trace.
void libbpfMessagesTraced();

}  // namespace PlinthAgent::Datapath
