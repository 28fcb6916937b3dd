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

// How many keys the table holds: a key for each MAC, and one for each VLAN
// a MAC has entries on.
struct MapSizes {
    std::uint32_t macs;
    std::uint32_t vlans;
    // Four slots a key at the least, so that probes stay short and a key
    // always finds a slot near its home: for the chip's 16,384 entries,
    // 262,144 slots (4 MiB, and 2 MiB of counts a CPU).
    std::uint32_t slots() const;
};

// The pin of `object` (a map's name, or a port's program) under `dir`, with
// the map layout in its name.
std::string pinPath(std::string const& dir, std::string const& object);
// Removes every pin of this layout under `dir`.
void pinsRemove(std::string const& dir);
// Whether the program of a port that still exists is pinned under `dir`.
bool programsPinned(std::string const& dir);

// The eBPF program and its maps, loaded. The first is loaded for the maps:
// with a pin directory, they are those pinned there when a datapath before
// this one left them (taken over, entries and counts included), else made
// and pinned there. Each port then gets a program of its own on the same
// maps, with its slot built in, pinned by pin(). Without a pin directory
// everything goes when its last user (a port, this object) does.
class Program {
  public:
    // The maps' program; `pinDir` empty: nothing pinned. Throws Error.
    Program(std::string pinDir, MapSizes sizes);
    // A port's program on the maps of `maps`. Throws Error.
    Program(Program const& maps, std::uint32_t portSlot);
    ~Program();
    Program(Program const&) = delete;
    Program& operator=(Program const&) = delete;

    // A port's program: replaces what an earlier datapath pinned for `port`.
    void pin(std::string const& port);
    // Whether the maps were left by an earlier datapath.
    bool tookOver() const { return tookOver_; }

    int programFd() const;
    // An empty program, loaded beside the real one: what a frame costs the
    // test-run path when the program does nothing.
    int floorFd() const;
    int tableFd() const;
    int hitsFd() const;
    int portsFd() const;
    std::uint32_t slots() const { return slots_; }
    std::uint32_t cpus() const { return cpus_; }

  private:
    void load();
    void sizesBuiltIn();

    struct Destroy {
        void operator()(::datapath* skeleton) const;
    };
    std::string pinDir_;
    std::unique_ptr<::datapath, Destroy> skeleton_;
    std::uint32_t slots_;
    std::uint32_t cpus_;
    bool tookOver_ = false;
};

// Sends libbpf's warnings and information to the "Datapath" trace.
void libbpfMessagesTraced();

}  // namespace PlinthAgent::Datapath
