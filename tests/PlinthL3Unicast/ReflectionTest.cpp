#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Brix/VrrpSm.h"
#include "Kel/Type.h"
#include "PlinthL3Records/MyStationDir.h"
#include "PlinthL3Records/MyStationTable.h"
#include "PlinthL3Unicast/L3MyStationHelperSm.h"
#include "PlinthL3Unicast/L3MyStationMounter.h"
#include "PlinthL3Unicast/L3MyStationSm.h"
#include "PlinthL3Unicast/L3VrrpHelper.h"
#include "Switch.h"
#include "TraceCapture.h"

namespace {

using namespace PlinthL3Unicast;
using Sw = PlinthAgent::Switch;
using Lines = std::vector<std::string>;
using PlinthL3::MacState;

// What an attribute does through reflective access: read-only, read and
// write, an owned child (read, create, delete), a child built from inputs
// (read, delete), or an operation (invoke).
enum class Kind { r, rw, owned, child, op };

struct Attr {
    std::string name;
    Kind kind;
    // The typed accessor's value (an operation's: the typed call's result).
    std::function<Kel::Value(Kel::PtrInterface&)> typed = {};
    // What a write stores.
    std::function<Kel::Value(Kel::PtrInterface&)> other = {};
    Kel::ArgList args = {};  // of an operation
};

template <class T, class R>
std::function<Kel::Value(Kel::PtrInterface&)> typed(R (T::*get)() const) {
    return [get](Kel::PtrInterface& o) { return Kel::toValue((dynamic_cast<T&>(o).*get)()); };
}
template <class T, class... Args>
std::function<Kel::Value(Kel::PtrInterface&)> fresh(Args... args) {
    return [=](Kel::PtrInterface&) { return Kel::toValue(Kel::newPtr<T>(args...)); };
}

// A value as reflection carries it: an entity by identity.
std::string text(Kel::Value const& v) {
    std::ostringstream os;
    if (auto const* p = std::any_cast<Kel::Ptr<Kel::PtrInterface>>(&v)) {
        os << "entity " << p->get();
    } else if (auto const* p = std::any_cast<Kel::Ptr<Kel::PtrInterface const>>(&v)) {
        os << "entity " << p->get();
    } else if (auto const* s = std::any_cast<Vosk::String>(&v)) {
        os << "'" << *s << "'";
    } else if (auto const* b = std::any_cast<bool>(&v)) {
        os << std::boolalpha << *b;
    } else if (auto const* m = std::any_cast<MacState>(&v)) {
        os << *m;
    } else {
        os << "? " << v.type().name();
    }
    return os.str();
}

struct TypeCase {
    char const* name;
    char const* traceHandle;
    // The instance, from a wired mounter whose inputs are distinct entities.
    Kel::PtrInterface& (*instance)(MyStationMounter&, Sw&);
    std::vector<Attr> attrs;
};

void PrintTo(TypeCase const& c, std::ostream* os) {
    *os << c.name;
}

using M = MyStationMounter;
using Sm = L3MyStationSm;
using Helper = L3MyStationHelperSm;
auto const kSystem = RouterTypes::systemRouter;
auto const kVirtual = RouterTypes::virtualRouter;

// A state lookup of the resolver, for the virtual router.
std::function<Kel::Value(Kel::PtrInterface&)> call(MacState (Helper::*get)(RouterTypes) const) {
    return [get](Kel::PtrInterface& o) {
        return Kel::Value((dynamic_cast<Helper&>(o).*get)(kVirtual));
    };
}

TypeCase const kTypes[] = {
    {"MyStationMounter",
     "L3MyStationMounter",
     [](M& m, Sw&) -> Kel::PtrInterface& { return m; },
     {
         {"routerMacDb", Kind::rw, typed(&M::routerMacDb), fresh<Brix::BrixRouterMacDb>()},
         {"routerMacStatusDb", Kind::rw, typed(&M::routerMacStatusDb),
          fresh<Brix::BrixRouterMacStatusDb>()},
         {"virtualMacStatusIn", Kind::rw, typed(&M::virtualMacStatusIn),
          fresh<Routing::Fhrp::VirtualRouterMacStatus>()},
         {"fhrpHwStatus", Kind::rw, typed(&M::fhrpHwStatus),
          fresh<Routing::Fhrp::Hardware::Status>()},
         {"vrrpMacStatus", Kind::owned, typed(&M::vrrpMacStatus)},
         {"l3Capabilities", Kind::rw, typed(&M::l3Capabilities),
          fresh<PlinthCentral::L3Capabilities>()},
         {"myStationConfigDir", Kind::owned, typed(&M::myStationConfigDir)},
         {"myStationStatusDir", Kind::owned, typed(&M::myStationStatusDir)},
         {"l3MyStationHelperSm", Kind::child, typed(&M::l3MyStationHelperSm)},
         {"l3MyStationSm", Kind::child, typed(&M::l3MyStationSm)},
         {"vrrpPrivateVlanReflectorSm", Kind::child, typed(&M::vrrpPrivateVlanReflectorSm)},
         {"vrrpSmHelper", Kind::child, typed(&M::vrrpSmHelper)},
         {"vrrpSm", Kind::child, typed(&M::vrrpSm)},
     }},
    {"L3MyStationSm",
     "L3MyStationSm",
     [](M& m, Sw&) -> Kel::PtrInterface& {
         m.l3MyStationSm()->myStationTableIs(myStationTableFactory());
         m.l3MyStationSm()->l3UnicastChipAttrIs(Kel::newPtr<MyStationAttr>(false));
         return *m.l3MyStationSm();
     },
     {
         {"corralEm", Kind::r, typed(&Sm::corralEm)},
         {"fcsd", Kind::r, typed(&Sm::fcsd)},
         {"myStationConfigDir", Kind::r, typed(&Sm::myStationConfigDir)},
         {"myStationStatusDir", Kind::r, typed(&Sm::myStationStatusDir)},
         {"smRunningState", Kind::r, typed(&Sm::smRunningState)},
         {"myStationTable", Kind::rw, typed(&Sm::myStationTable), fresh<MyStationTable>()},
         {"l3UnicastChipAttr", Kind::rw, typed(&Sm::l3UnicastChipAttr), fresh<MyStationAttr>(true)},
         {"handleLogicalFapId", Kind::op, {}, {}, {LogicalFap::LogicalFapId{7}}},
         {"handleConfig", Kind::op, {}, {}, {MacVlan{Pakt::EthAddr(0x001c73000001)}}},
         {"initialized", Kind::rw, typed(&Sm::initialized),
          [](Kel::PtrInterface& o) { return Kel::Value(!dynamic_cast<Sm&>(o).initialized()); }},
         {"handleInitialized", Kind::op},
     }},
    {"L3MyStationHelperSm",
     "L3MyStationHelperSm",
     [](M& m, Sw& s) -> Kel::PtrInterface& {
         // Desired and applied states that differ, as long as nothing
         // reconciles the virtual router.
         s.routingStatus()->virtualRouterMacIs({Pakt::EthAddr(0x001c730000bb), true});
         return *m.l3MyStationHelperSm();
     },
     {
         {"routerMacDb", Kind::r, typed(&Helper::routerMacDb)},
         {"routerMacStatusDb", Kind::r, typed(&Helper::routerMacStatusDb)},
         {"myStationRoutingConfig", Kind::r, typed(&Helper::myStationRoutingConfig)},
         {"myStationRoutingStatus", Kind::r, typed(&Helper::myStationRoutingStatus)},
         {"myStationConfigDir", Kind::r, typed(&Helper::myStationConfigDir)},
         {"handleRouterType", Kind::op, {}, {}, {kSystem}},
         {"getNewMacState", Kind::op, call(&Helper::getNewMacState), {}, {kVirtual}},
         {"getOldMacState", Kind::op, call(&Helper::getOldMacState), {}, {kVirtual}},
         {"updateRouterMacState", Kind::op, {}, {}, {kSystem, MacState{}}},
     }},
    {"VrrpSmHelper",
     "L3VrrpHelper",
     [](M& m, Sw&) -> Kel::PtrInterface& { return *m.vrrpSmHelper(); },
     {
         {"name", Kind::r, typed(&VrrpSmHelper::nameString)},
         {"myStationConfigDir", Kind::r, typed(&VrrpSmHelper::myStationConfigDir)},
         {"myStationStatusDir", Kind::r, typed(&VrrpSmHelper::myStationStatusDir)},
         {"configureTcam", Kind::op, {}, {}, {Pakt::EthAddr(0x00005e00010a), U32{10}, true}},
     }},
};

class ReflectionTest : public ::testing::TestWithParam<TypeCase> {
  protected:
    void TearDown() override {
        mounter_ = nullptr;
        sw_.reset();
        EXPECT_EQ(Kel::liveObjects(), liveAtStart_);
    }

    std::int64_t const liveAtStart_ = Kel::liveObjects();
    std::unique_ptr<Sw> sw_ = std::make_unique<Sw>();
    Kel::Ptr<MyStationMounter> mounter_ = MyStationMounter::MyStationMounterIs("myStation");
};

// Each attribute, by name, answers with its own typed accessor and changes
// nothing but it; each operation reaches its own function, which either
// answers as the typed call does or traces its own name first.
TEST_P(ReflectionTest, EveryAttributeAnswersForItselfAlone) {
    TypeCase const& c = GetParam();
    mounter_->contextIs(sw_->context());
    mounter_->doInit();
    ASSERT_EQ(sw_->sysdb()->doCompleteMounts(), 1);
    Kel::PtrInterface& object = c.instance(*mounter_, *sw_);
    Kel::TypeImpl const& type = *object.fwkType();
    std::vector<Attr> const& attrs = c.attrs;
    auto values = [&] {
        Lines out;
        for (Attr const& a : attrs) {
            out.push_back(a.kind == Kind::op ? a.name : text(a.typed(object)));
        }
        return out;
    };
    Lines expected = values();
    ASSERT_EQ(std::set<std::string>(expected.begin(), expected.end()).size(), expected.size())
        << "values that are not all distinct would hide a swap";
    std::string const null = text(Kel::toValue(Kel::Ptr<Kel::PtrInterface>()));

    ASSERT_EQ(type.attributeCount(), attrs.size());
    for (std::size_t i = 0; i < attrs.size(); ++i) {
        Attr const& a = attrs[i];
        SCOPED_TRACE(a.name);
        EXPECT_EQ(type.attributeName(i), a.name);
        auto op = [&](Kel::AttrOp o, Kel::Value& io) {
            return type.genericIfAttributeOp(object, a.name, o, io, a.args);
        };
        bool const deletes = a.kind == Kind::owned || a.kind == Kind::child;
        bool const writes = a.kind == Kind::owned || a.kind == Kind::rw;

        Kel::Value io;
        ASSERT_EQ(op(Kel::AttrOp::read, io), a.kind == Kind::op ? 1 : 0);
        if (a.kind != Kind::op) {
            EXPECT_EQ(text(io), expected[i]);
        }
        io.reset();
        ASSERT_EQ(op(Kel::AttrOp::del, io), deletes ? 0 : 1);
        if (deletes) {
            EXPECT_EQ(text(io), expected[i]);
            expected[i] = null;
        }
        EXPECT_EQ(values(), expected);
        io = a.other ? a.other(object) : Kel::Value();
        ASSERT_EQ(op(Kel::AttrOp::write, io), writes ? 0 : 1);
        if (writes) {
            expected[i] = text(io);  // what was stored, or the child created
            EXPECT_NE(expected[i], null);
        }
        EXPECT_EQ(values(), expected);

        PlinthTest::TraceCapture capture(c.traceHandle);
        io.reset();
        ASSERT_EQ(op(Kel::AttrOp::invoke, io), a.kind == Kind::op ? 0 : 1);
        if (a.kind == Kind::op && a.typed) {
            EXPECT_EQ(text(io), text(a.typed(object)));
        } else if (a.kind == Kind::op) {
            ASSERT_FALSE(capture.texts().empty());
            EXPECT_NE(capture.texts().front().find(a.name), std::string::npos)
                << capture.texts().front();
        }
        expected = values();
    }
}

INSTANTIATE_TEST_SUITE_P(PlugInTypes, ReflectionTest, ::testing::ValuesIn(kTypes),
                         [](auto const& info) { return std::string(info.param.name); });

}  // namespace
