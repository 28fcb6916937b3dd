#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <type_traits>
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

// An attribute read with its typed accessor; written, when it may be, with a
// new entity of its type or the negated flag.
template <class T, class R>
Attr attr(char const* name, Kind kind, R (T::*get)() const) {
    using V = std::remove_cvref_t<R>;
    Attr a{name, kind, [get](auto& o) { return Kel::toValue((dynamic_cast<T&>(o).*get)()); }};
    if constexpr (std::is_same_v<V, bool>) {
        a.other = [get](auto& o) { return Kel::Value(!(dynamic_cast<T&>(o).*get)()); };
    } else if constexpr (Kel::IsPtr<V>::value) {
        using E = std::remove_const_t<typename V::element_type>;
        if constexpr (std::is_default_constructible_v<E>) {
            a.other = [](auto&) { return Kel::toValue(Kel::newPtr<E>()); };
        } else if constexpr (std::is_constructible_v<E, bool>) {
            a.other = [](auto&) { return Kel::toValue(Kel::newPtr<E>(true)); };  // a chip flag
        }
    }
    return a;
}
// An operation, called with `args`.
Attr op(char const* name, Kel::ArgList args = {}) {
    return {name, Kind::op, {}, {}, std::move(args)};
}
#define ATTR(kind, T, name) attr(#name, Kind::kind, &T::name)

// A value as reflection carries it: an entity by identity.
std::string text(Kel::Value const& v) {
    std::ostringstream os;
    if (v.type() == typeid(Kel::Ptr<Kel::PtrInterface>) ||
        v.type() == typeid(Kel::Ptr<Kel::PtrInterface const>)) {
        os << "entity " << Kel::fromValue<Kel::Ptr<Kel::PtrInterface const>>(v).get();
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

using M = MyStationMounter;
using Sm = L3MyStationSm;
using Helper = L3MyStationHelperSm;
auto const kSystem = RouterTypes::systemRouter;
auto const kVirtual = RouterTypes::virtualRouter;

// A state lookup of the resolver, for the virtual router.
Attr state(char const* name, MacState (Helper::*get)(RouterTypes) const) {
    Attr a = op(name, {kVirtual});
    a.typed = [get](auto& o) { return Kel::Value((dynamic_cast<Helper&>(o).*get)(kVirtual)); };
    return a;
}

TypeCase const kTypes[] = {
    {"MyStationMounter",
     "L3MyStationMounter",
     [](M& m, Sw&) -> Kel::PtrInterface& { return m; },
     {ATTR(rw, M, routerMacDb), ATTR(rw, M, routerMacStatusDb), ATTR(rw, M, virtualMacStatusIn),
      ATTR(rw, M, fhrpHwStatus), ATTR(owned, M, vrrpMacStatus), ATTR(rw, M, l3Capabilities),
      ATTR(owned, M, myStationConfigDir), ATTR(owned, M, myStationStatusDir),
      ATTR(child, M, l3MyStationHelperSm), ATTR(child, M, l3MyStationSm),
      ATTR(child, M, vrrpPrivateVlanReflectorSm), ATTR(child, M, vrrpSmHelper),
      ATTR(child, M, vrrpSm)}},
    {"L3MyStationSm",
     "L3MyStationSm",
     [](M& m, Sw&) -> Kel::PtrInterface& {
         m.l3MyStationSm()->myStationTableIs(myStationTableFactory());
         m.l3MyStationSm()->l3UnicastChipAttrIs(Kel::newPtr<MyStationAttr>(false));
         return *m.l3MyStationSm();
     },
     {ATTR(r, Sm, corralEm), ATTR(r, Sm, fcsd), ATTR(r, Sm, myStationConfigDir),
      ATTR(r, Sm, myStationStatusDir), ATTR(r, Sm, smRunningState), ATTR(rw, Sm, myStationTable),
      ATTR(rw, Sm, l3UnicastChipAttr), op("handleLogicalFapId", {LogicalFap::LogicalFapId{7}}),
      op("handleConfig", {MacVlan{Pakt::EthAddr(0x001c73000001)}}), ATTR(rw, Sm, initialized),
      op("handleInitialized")}},
    {"L3MyStationHelperSm",
     "L3MyStationHelperSm",
     [](M& m, Sw& s) -> Kel::PtrInterface& {
         // Desired and applied states that differ, as long as nothing
         // reconciles the virtual router.
         s.routingStatus()->virtualRouterMacIs({Pakt::EthAddr(0x001c730000bb), true});
         return *m.l3MyStationHelperSm();
     },
     {ATTR(r, Helper, routerMacDb), ATTR(r, Helper, routerMacStatusDb),
      ATTR(r, Helper, myStationRoutingConfig), ATTR(r, Helper, myStationRoutingStatus),
      ATTR(r, Helper, myStationConfigDir), op("handleRouterType", {kSystem}),
      state("getNewMacState", &Helper::getNewMacState),
      state("getOldMacState", &Helper::getOldMacState),
      op("updateRouterMacState", {kSystem, MacState{}})}},
    {"VrrpSmHelper",
     "L3VrrpHelper",
     [](M& m, Sw&) -> Kel::PtrInterface& { return *m.vrrpSmHelper(); },
     {attr("name", Kind::r, &VrrpSmHelper::nameString), ATTR(r, VrrpSmHelper, myStationConfigDir),
      ATTR(r, VrrpSmHelper, myStationStatusDir),
      op("configureTcam", {Pakt::EthAddr(0x00005e00010a), U32{10}, true})}},
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
    auto values = [&] {
        Lines out;
        for (Attr const& a : c.attrs) {
            out.push_back(a.kind == Kind::op ? a.name : text(a.typed(object)));
        }
        return out;
    };
    Lines expected = values();
    ASSERT_EQ(std::set<std::string>(expected.begin(), expected.end()).size(), expected.size())
        << "values that are not all distinct would hide a swap";
    std::string const null = text(Kel::toValue(Kel::Ptr<Kel::PtrInterface>()));
    std::string const refused = "refused " + std::to_string(Kel::kAttrOpNotSupported);

    ASSERT_EQ(type.attributeCount(), c.attrs.size());
    for (std::size_t i = 0; i < c.attrs.size(); ++i) {
        Attr const& a = c.attrs[i];
        SCOPED_TRACE(a.name);
        EXPECT_EQ(type.attributeName(i), a.name);
        // What an operation on `a` leaves in `io`, unless it is refused.
        auto op = [&](Kel::AttrOp o, Kel::Value io = {}) {
            int const rc = type.genericIfAttributeOp(object, a.name, o, io, a.args);
            return rc == Kel::kAttrOpOk ? text(io) : "refused " + std::to_string(rc);
        };
        bool const isOp = a.kind == Kind::op;
        bool const deletes = a.kind == Kind::owned || a.kind == Kind::child;
        bool const writes = a.kind == Kind::owned || a.kind == Kind::rw;

        EXPECT_EQ(op(Kel::AttrOp::read), isOp ? refused : expected[i]);
        EXPECT_EQ(op(Kel::AttrOp::del), deletes ? expected[i] : refused);
        expected[i] = deletes ? null : expected[i];
        EXPECT_EQ(values(), expected);
        // What was stored, or the child created.
        std::string const wrote = op(Kel::AttrOp::write, a.other ? a.other(object) : Kel::Value());
        EXPECT_EQ(wrote == refused, !writes);
        EXPECT_NE(wrote, null);
        expected[i] = writes ? wrote : expected[i];
        EXPECT_EQ(values(), expected);

        PlinthTest::TraceCapture capture(c.traceHandle);
        std::string const result = op(Kel::AttrOp::invoke);
        Lines const traced = capture.texts();
        EXPECT_EQ(result, !isOp ? refused : text(a.typed ? a.typed(object) : Kel::Value()));
        EXPECT_TRUE(!isOp || a.typed ||
                    (!traced.empty() && traced.front().find(a.name) != std::string::npos));
        expected = values();
    }
}

INSTANTIATE_TEST_SUITE_P(PlugInTypes, ReflectionTest, ::testing::ValuesIn(kTypes),
                         [](auto const& info) { return std::string(info.param.name); });

}  // namespace
