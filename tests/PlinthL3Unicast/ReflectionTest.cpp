#include <gtest/gtest.h>

#include <cstring>
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
using Lines = std::vector<std::string>;
using PlinthL3::MacState;
using Fn = std::function<Kel::Value(Kel::PtrInterface&)>;

struct Attr {
    std::string name;
    // What it allows through reflective access, in letters: read, write (an
    // owned child: create), delete, invoke.
    char const* allows;
    // The typed accessor's value (an operation's: the typed call's result).
    Fn typed = {};
    // What a write stores.
    Fn other = {};
    Kel::ArgList args = {};  // of an operation
};

// An attribute read with its typed accessor; written, when it may be, with a
// new entity of its type or the negated flag.
template <class T, class R>
Attr attr(char const* name, char const* allows, R (T::*get)() const) {
    using V = std::remove_cvref_t<R>;
    Attr a{name, allows, [get](auto& o) { return Kel::toValue((dynamic_cast<T&>(o).*get)()); }};
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
// An operation, called with `args`; `typed`, the typed call, if it answers.
Attr op(char const* name, Kel::ArgList args = {}, Fn typed = {}) {
    return {name, "i", std::move(typed), {}, std::move(args)};
}
#define ATTR(allows, T, name) attr(#name, #allows, &T::name)

// A value as reflection carries it, in words: an entity by type and address.
template <class... T>
std::string textOf(Kel::Value const& v) {
    std::ostringstream os;
    os << std::boolalpha;
    bool const known = ((std::any_cast<T>(&v) && os << *std::any_cast<T>(&v)) || ...);
    return known ? os.str() : "? " + std::string(v.type().name());
}
auto* const text = &textOf<Kel::Ptr<Kel::PtrInterface>, Kel::Ptr<Kel::PtrInterface const>,
                           Vosk::String, bool, MacState>;

struct TypeCase {
    char const* name;  // and its trace handle
    // The instance, from a wired mounter whose inputs are distinct entities.
    Kel::PtrInterface* (*instance)(MyStationMounter&);
    std::vector<Attr> attrs;
};

using M = MyStationMounter;
using Sm = L3MyStationSm;
using Helper = L3MyStationHelperSm;
auto const kSystem = RouterTypes::systemRouter;
auto const kVirtual = RouterTypes::virtualRouter;

TypeCase const kTypes[] = {
    {"L3MyStationMounter",
     [](M& m) -> Kel::PtrInterface* { return &m; },
     {ATTR(rw, M, routerMacDb), ATTR(rw, M, routerMacStatusDb), ATTR(rw, M, virtualMacStatusIn),
      ATTR(rw, M, fhrpHwStatus), ATTR(rwd, M, vrrpMacStatus), ATTR(rw, M, l3Capabilities),
      ATTR(rwd, M, myStationConfigDir), ATTR(rwd, M, myStationStatusDir),
      ATTR(rd, M, l3MyStationHelperSm), ATTR(rd, M, l3MyStationSm),
      ATTR(rd, M, vrrpPrivateVlanReflectorSm), ATTR(rd, M, vrrpSmHelper), ATTR(rd, M, vrrpSm)}},
    {"L3MyStationSm",
     [](M& m) -> Kel::PtrInterface* { return m.l3MyStationSm().get(); },
     {ATTR(r, Sm, corralEm), ATTR(r, Sm, fcsd), ATTR(r, Sm, myStationConfigDir),
      ATTR(r, Sm, myStationStatusDir), ATTR(r, Sm, smRunningState), ATTR(rw, Sm, myStationTable),
      ATTR(rw, Sm, l3UnicastChipAttr), op("handleLogicalFapId", {LogicalFap::LogicalFapId{7}}),
      op("handleConfig", {MacVlan{Pakt::EthAddr(0x001c73000001)}}), ATTR(rw, Sm, initialized),
      op("handleInitialized")}},
    {"L3MyStationHelperSm",
     [](M& m) -> Kel::PtrInterface* { return m.l3MyStationHelperSm().get(); },
     {ATTR(r, Helper, routerMacDb), ATTR(r, Helper, routerMacStatusDb),
      ATTR(r, Helper, myStationRoutingConfig), ATTR(r, Helper, myStationRoutingStatus),
      ATTR(r, Helper, myStationConfigDir), op("handleRouterType", {kSystem}),
      op("getNewMacState", {kVirtual},
         [](auto& o) { return Kel::Value(dynamic_cast<Helper&>(o).getNewMacState(kVirtual)); }),
      op("getOldMacState", {kVirtual},
         [](auto& o) { return Kel::Value(dynamic_cast<Helper&>(o).getOldMacState(kVirtual)); }),
      op("updateRouterMacState", {kSystem, MacState{}})}},
    {"L3VrrpHelper",
     [](M& m) -> Kel::PtrInterface* { return m.vrrpSmHelper().get(); },
     {attr("name", "r", &VrrpSmHelper::nameString), ATTR(r, VrrpSmHelper, myStationConfigDir),
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
    std::unique_ptr<PlinthAgent::Switch> sw_ = std::make_unique<PlinthAgent::Switch>();
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
    // Every attribute set: a table and a chip attribute for the table
    // programmer; desired and applied states that differ for the resolver,
    // as long as nothing reconciles the virtual router.
    mounter_->l3MyStationSm()->myStationTableIs(myStationTableFactory());
    mounter_->l3MyStationSm()->l3UnicastChipAttrIs(Kel::newPtr<MyStationAttr>(false));
    sw_->routingStatus()->virtualRouterMacIs({Pakt::EthAddr(0x001c730000bb), true});
    Kel::PtrInterface& object = *c.instance(*mounter_);
    Kel::TypeImpl const& type = *object.fwkType();
    auto values = [&] {
        Lines out;
        for (Attr const& a : c.attrs) {
            out.push_back(std::strchr(a.allows, 'i') ? a.name : text(a.typed(object)));
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
        auto allows = [&](char o) { return std::strchr(a.allows, o) != nullptr; };

        EXPECT_EQ(op(Kel::AttrOp::read), allows('r') ? expected[i] : refused);
        EXPECT_EQ(op(Kel::AttrOp::del), allows('d') ? expected[i] : refused);
        expected[i] = allows('d') ? null : expected[i];
        EXPECT_EQ(values(), expected);
        // What was stored, or the child created.
        std::string const wrote = op(Kel::AttrOp::write, a.other ? a.other(object) : Kel::Value());
        EXPECT_EQ(wrote == refused, !allows('w'));
        EXPECT_NE(wrote, null);
        expected[i] = allows('w') ? wrote : expected[i];
        EXPECT_EQ(values(), expected);

        PlinthTest::TraceCapture capture(c.name);
        std::string const result = op(Kel::AttrOp::invoke);
        Lines const traced = capture.texts();
        EXPECT_EQ(result, !allows('i') ? refused : text(a.typed ? a.typed(object) : Kel::Value()));
        EXPECT_TRUE(!allows('i') || a.typed ||
                    (!traced.empty() && traced.front().find(a.name) != std::string::npos));
        expected = values();
    }
}

INSTANTIATE_TEST_SUITE_P(PlugInTypes, ReflectionTest, ::testing::ValuesIn(kTypes),
                         [](auto const& info) { return std::string(info.param.name); });

}  // namespace
