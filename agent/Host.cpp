#include "Host.h"

#include <cerrno>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "Brix/VrrpSm.h"
#include "Kel/Trace.h"
#include "Kel/Type.h"
#include "Overloaded.h"
#include "PlinthProfile/Profile.h"
#include "Report.h"
#include "Toggle/Toggle.h"

namespace PlinthAgent {

namespace S = Scenario;

namespace {

Vosk::String vlanInterface(std::uint32_t vlan) {
    return "Vlan" + std::to_string(vlan);
}

}  // namespace

Host::Host(std::string pluginPath, std::string toggleDir)
    : pluginPath_(std::move(pluginPath)), toggleDir_(std::move(toggleDir)) {
    Toggle::toggleDirIs(toggleDir_);
    switch_.emplace();
}

Host::~Host() {
    // The mounter goes first: its state machines hold references into the
    // switch's entities.
    mounter_.reset();
    switch_.reset();
    for (auto const& chip : chips_) {
        PlinthProfile::chipProfileDel(chip);
    }
}

void Host::apply(S::Command const& command, std::ostream& out) {
    std::visit(Overloaded{
                   [&](S::ChipTaggedEntry const&) { setUp(command); },
                   [&](S::ChipFeatureAbsent const&) { setUp(command); },
                   [&](S::ToggleSet const&) { setUp(command); },
                   [&](S::Omit const&) { setUp(command); },
                   [&](S::Start const&) { start(); },
                   [&](S::Remount const&) { remount(); },
                   [&](S::Stop const&) { stop(); },
                   [&](S::Show const& show) { Report(*this).show(show.view, out); },
                   [&](S::Dump const&) { out << Report(*this).dump() << '\n'; },
                   [&](S::Audit const&) { Report(*this).audit(out); },
                   [&](S::Trace const& trace) {
                       std::string error;
                       if (!Kel::traceEnable(trace.setting, &error)) {
                           throw CommandError("trace: " + error);
                       }
                   },
                   [&](auto const&) { event(command); },
               },
               command);
    // Only these make, drop or start a table; other events reach the
    // datapath through the table's own mirror.
    if (std::holds_alternative<S::Start>(command) || std::holds_alternative<S::Stop>(command) ||
        std::holds_alternative<S::Remount>(command) || std::holds_alternative<S::FapAdd>(command) ||
        std::holds_alternative<S::FapDel>(command)) {
        datapathSync();
    }
}

void Host::datapathSync() const {
    if (datapath_ != nullptr) {
        auto running = switch_->smRunningState();
        datapath_->tableIs(table(), started() && running && running->running(), taggedEntry_);
    }
}

void Host::setUp(S::Command const& command) {
    if (everStarted_) {
        throw CommandError("set-up commands are refused once start has run");
    }
    if (auto const* c = std::get_if<S::ChipTaggedEntry>(&command)) {
        taggedEntry_ = c->on;
    } else if (std::holds_alternative<S::ChipFeatureAbsent>(command)) {
        featureAbsent_ = true;
    } else if (auto const* t = std::get_if<S::ToggleSet>(&command)) {
        writeToggle(t->name, t->on);
    } else if (auto const* o = std::get_if<S::Omit>(&command)) {
        if (!switch_->omit(o->path)) {
            std::string known;
            for (auto const& p : Switch::omittablePaths()) {
                known += (known.empty() ? "" : ", ") + p;
            }
            throw CommandError("omit: unknown path '" + o->path + "' (one of " + known + ")");
        }
    }
}

// The file is shared: the members other programs put there stay as they
// are, and one that is not a JSON object is left alone rather than replaced.
// The new text goes to a file of its own first, so that a failed write never
// leaves the shared one cut short.
void Host::writeToggle(std::string const& name, bool on) const {
    std::string const path = toggleDir_ + "/" + kToggleFile;
    nlohmann::json toggles = nlohmann::json::object();
    if (std::ifstream in(path); in || errno != ENOENT) {
        try {
            toggles = nlohmann::json::parse(in);
        } catch (std::exception const&) {  // not JSON, or not readable
            toggles = nullptr;
        }
        if (!toggles.is_object()) {
            throw CommandError("toggle: " + path + ": not a readable JSON object; left as it is");
        }
    }
    toggles[name] = on;
    std::string const fresh = path + ".new";
    std::ofstream out(fresh, std::ios::trunc);
    out << toggles.dump(2) << '\n';
    out.close();
    std::error_code error;
    if (out) {
        std::filesystem::rename(fresh, path, error);
    }
    if (!out || error) {
        std::filesystem::remove(fresh, error);
        throw CommandError("toggle: cannot write " + path);
    }
}

void Host::registerChipProfile(std::string const& chip) const {
    Kel::Ptr<Asic::ChipProfile> profile(new Asic::ChipProfile(chip));
    if (!featureAbsent_) {
        profile->featureIs(Kel::newPtr<PlinthL3Unicast::MyStationAttr>(taggedEntry_));
    }
    PlinthProfile::chipProfileIs(profile);
}

void Host::start() {
    if (started()) {
        throw CommandError("start: already started");
    }
    if (!pluginLoaded_) {
        std::string error = Plugin::loadLibrary(pluginPath_);
        if (!error.empty()) {
            throw CommandError("start: cannot load plug-in: " + error);
        }
        pluginLoaded_ = true;
    }
    for (auto const& chip : chips_) {
        registerChipProfile(chip);
    }
    mounter_ =
        Plugin::mounterStart(kMounterType, "myStationMounter", switch_->context(), &warnings_);
    everStarted_ = true;
}

void Host::remount() {
    if (!started()) {
        throw CommandError("remount: not started");
    }
    switch_->sysdb()->mountsReconnect();
    switch_->sysdb()->doCompleteMounts(&warnings_);
}

void Host::stop() {
    if (!started()) {
        throw CommandError("stop: not started");
    }
    mounter_.reset();
    switch_->localStoreNew();
    writeRoutingConfig();
}

template <class T>
Kel::Ptr<T> Host::need(Kel::Ptr<T> entity, char const* path) const {
    if (!entity) {
        throw CommandError(std::string(path) + " is omitted on this switch");
    }
    return entity;
}

void Host::writeRoutingConfig() const {
    if (auto config = switch_->routingConfig()) {
        config->routerMacIs(desired_.system);
        config->virtualRouterMacIs(desired_.virtualRouter);
    }
}

void Host::event(S::Command const& command) {
    Switch const& sw = *switch_;
    std::visit(Overloaded{
                   [&](S::FapAdd const& f) {
                       auto fcsd = need(sw.featureCommon(), Path::featureCommon);
                       chips_.insert(f.chip);
                       registerChipProfile(f.chip);
                       LogicalFap::LogicalFapId id(f.id);
                       // Module information first: the id's notification looks it up.
                       fcsd->logicalModInfoIs(id, Kel::newPtr<PlinthCentral::LogicalModuleInfo>(
                                                      PlinthCentral::ChipInfo{f.chip, 1}));
                       fcsd->logicalFapIdInsertedIs(id);
                   },
                   [&](S::FapDel const& f) {
                       auto fcsd = need(sw.featureCommon(), Path::featureCommon);
                       fcsd->logicalFapIdInsertedDel(LogicalFap::LogicalFapId(f.id));
                       fcsd->logicalModInfoDel(LogicalFap::LogicalFapId(f.id));
                   },
                   [&](S::RouterMacSet const& r) {
                       need(sw.routerMacDb(), Path::routerMacDb)->routerMacIs(r.key, {r.routing});
                   },
                   [&](S::RouterMacDel const& r) {
                       need(sw.routerMacDb(), Path::routerMacDb)->routerMacDel(r.key);
                   },
                   [&](S::RoutingConfig const& r) {
                       need(sw.routingConfig(), Path::routingConfig);
                       auto& slot = r.kind == S::RouterKind::system ? desired_.system
                                                                    : desired_.virtualRouter;
                       slot = {r.mac, r.valid};
                       writeRoutingConfig();
                   },
                   [&](S::VrrpAdd const& v) {
                       auto status = need(sw.vrMacStatus(), Path::vrMacStatus);
                       auto l3 = need(sw.brixL3Status(), Path::brixL3Status);
                       l3->intfVlanIdSet()->vlanIdIs(vlanInterface(v.vlan), v.vlan);
                       status->virtualMacIs({vlanInterface(v.vlan), v.mac});
                   },
                   [&](S::VrrpDel const& v) {
                       need(sw.vrMacStatus(), Path::vrMacStatus)
                           ->virtualMacDel({vlanInterface(v.vlan), v.mac});
                   },
                   [](auto const&) {},
               },
               command);
}

Kel::Ptr<Kel::PtrInterface> Host::child(char const* attribute) const {
    return mounter_ ? reflectedAttribute<Kel::PtrInterface>(*mounter_, attribute) : nullptr;
}

Kel::Ptr<PlinthL3Unicast::MyStationConfigDir> Host::configDir() const {
    return mounter_ ? reflectedAttribute<PlinthL3Unicast::MyStationConfigDir>(*mounter_,
                                                                              "myStationConfigDir")
                    : nullptr;
}

Kel::Ptr<PlinthL3Unicast::MyStationStatusDir> Host::statusDir() const {
    return mounter_ ? reflectedAttribute<PlinthL3Unicast::MyStationStatusDir>(*mounter_,
                                                                              "myStationStatusDir")
                    : nullptr;
}

Kel::Ptr<PlinthL3Unicast::MyStationTable> Host::table() const {
    auto sm = child("l3MyStationSm");
    return sm ? reflectedAttribute<PlinthL3Unicast::MyStationTable>(*sm, "myStationTable")
              : nullptr;
}

BrixHelper::CurrentVrrpStateForInit::MacVlans Host::vrrpReported() const {
    auto const sm = Kel::dynamicPtrCast<Brix::VrrpSm>(child("vrrpSm"));
    auto const report = sm ? sm->currentStateForInit() : nullptr;
    return report ? report->virtualRouterMacVlan()
                  : BrixHelper::CurrentVrrpStateForInit::MacVlans{};
}

}  // namespace PlinthAgent
