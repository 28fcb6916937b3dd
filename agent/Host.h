#pragma once

#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "BrixHelper/VrrpSmHelper.h"
#include "PlinthL3Records/MyStationDir.h"
#include "PlinthL3Records/MyStationTable.h"
#include "Scenario.h"
#include "Switch.h"
#include "TableDatapath.h"

namespace PlinthAgent {

// A command the host refuses in the current state (for instance set-up
// after start). Nothing was changed.
class CommandError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// What plinth-agent does with the commands of a scenario: it holds the
// switch (system database, shared entities, local store), loads the
// plug-in and runs the mounter's life cycle.
class Host {
  public:
    static constexpr char const* kMounterType = "PlinthL3Unicast::MyStationMounter";
    static constexpr char const* kToggleFile = "PlinthLib.json";

    // `toggleDir` holds PlinthLib.json; the host writes it for `toggle`.
    Host(std::string pluginPath, std::string toggleDir);
    ~Host();
    Host(Host const&) = delete;
    Host& operator=(Host const&) = delete;

    // Applies one command, writing what it shows to `out`. Throws
    // CommandError, leaving everything as it was, when it is refused.
    void apply(Scenario::Command const& command, std::ostream& out);

    // The warnings of the commands applied since the last call: failures
    // that the plug-in raised out of mount completion, which leave it wired
    // as far as it got.
    std::vector<std::string> warningsTake() { return std::exchange(warnings_, {}); }

    // From now on the datapath follows the chip's table: it is told of the
    // table after each command that can make, drop or start one, and the
    // table tells it of each entry. Not owned; it outlives the host.
    void datapathIs(TableDatapath* datapath) { datapath_ = datapath; }
    // Null without one.
    TableDatapath* datapath() const { return datapath_; }

    bool everStarted() const { return everStarted_; }
    bool started() const { return static_cast<bool>(mounter_); }
    Switch const& switchModel() const { return *switch_; }
    Kel::Ptr<Plugin::Mounter> const& mounter() const { return mounter_; }

    // The plug-in's objects, read through reflection; null when not started
    // or not there yet.
    Kel::Ptr<PlinthL3Unicast::MyStationConfigDir> configDir() const;
    Kel::Ptr<PlinthL3Unicast::MyStationStatusDir> statusDir() const;
    Kel::Ptr<PlinthL3Unicast::MyStationTable> table() const;
    // The pairs the VRRP helper reported as programmed when the VRRP state
    // machine started; empty before that.
    BrixHelper::CurrentVrrpStateForInit::MacVlans vrrpReported() const;
    Kel::Ptr<Kel::PtrInterface> child(char const* attribute) const;

  private:
    struct Desired {
        PlinthL3::MacState system;
        PlinthL3::MacState virtualRouter;
    };

    void setUp(Scenario::Command const& command);
    void start();
    void remount();
    void stop();
    void event(Scenario::Command const& command);
    void writeToggle(std::string const& name, bool on) const;
    void registerChipProfile(std::string const& chip) const;
    void writeRoutingConfig() const;
    void datapathSync() const;
    template <class T>
    Kel::Ptr<T> need(Kel::Ptr<T> entity, char const* path) const;

    std::string pluginPath_;
    std::string toggleDir_;
    bool pluginLoaded_ = false;
    bool everStarted_ = false;
    bool taggedEntry_ = false;
    bool featureAbsent_ = false;
    std::set<std::string> omitted_;
    std::set<std::string> chips_{"plinth0"};
    Desired desired_;
    std::optional<Switch> switch_;
    Kel::Ptr<Plugin::Mounter> mounter_;
    std::vector<std::string> warnings_;
    TableDatapath* datapath_ = nullptr;
};

}  // namespace PlinthAgent
