#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Kel/Enum.h"
#include "Kel/Type.h"
#include "NothingLeft.h"

namespace {

using Kel::AttrOp;
using Kel::Ptr;
using ::testing::ThrowsMessage;

// A small entity with an entity attribute and an operation, to exercise
// reflection.
struct Widget : Kel::Entity {
    explicit Widget(Vosk::String name = "w") : Entity(std::move(name)) {}
    Kel::TypeImpl const* fwkType() const override;

    Ptr<Kel::Entity> input;
    std::vector<std::uint32_t> calls;
};

Kel::TypeImpl const widgetType(
    "Test::Widget",
    {Kel::attrReadWrite<Widget>(
         "input", [](Widget& w) { return w.input; },
         [](Widget& w, Ptr<Kel::Entity> const& e) { w.input = e; }),
     Kel::attrInvoke<Widget>("record",
                             [](Widget& w, Kel::ArgList const& args, Kel::Value& result) {
                                 w.calls.push_back(Kel::argAt<std::uint32_t>(args, 0));
                                 result = w.calls.size();
                             })},
    Kel::createByName<Widget>);
Kel::ModuleRegistration const registration({"TestWidget", {&widgetType}});

Kel::TypeImpl const* Widget::fwkType() const {
    return &widgetType;
}

// Takes and drops a reference to itself while being destroyed, as a
// reactor that unsubscribes through a counted pointer would.
struct SelfReferencing : Kel::PtrInterface {
    ~SelfReferencing() override { Ptr<SelfReferencing> self(this); }
};

struct KelTest : ::testing::Test {
    PlinthTest::NothingLeft const nothingLeft;
};

// A raw pointer becomes counted only on purpose: counts start at zero, so a
// temporary made from `this` would delete the object.
static_assert(!std::is_convertible_v<Widget*, Ptr<Widget>>);

TEST_F(KelTest, LastReferenceDestroysOnceAndAnUnheldObjectIsRefused) {
    Ptr<SelfReferencing> a(new SelfReferencing());
    Ptr<Kel::PtrInterface> b = a;
    EXPECT_EQ(a->references(), 2U);
    EXPECT_EQ(Kel::dynamicPtrCast<SelfReferencing>(b), a);
    EXPECT_EQ(Kel::heldPtr(a.get()), a);
    Widget onStack;
    EXPECT_THROW(Kel::heldPtr(&onStack), Kel::Exception);
    // The fixture checks nothing is left alive; ASan would catch a double delete.
}

// How each kind of attribute answers each operation is checked through the
// plug-in's types; what reaches no attribute, or the wrong object or values,
// is checked here.
TEST_F(KelTest, AttributeOpsAndCreationByNameCheckWhatTheyAreGiven) {
    Ptr<Widget> w(new Widget());
    Kel::Value io;
    auto op = [&](auto attr, AttrOp o, Kel::ArgList args = {}) {
        return widgetType.genericIfAttributeOp(*w, attr, o, io, args);
    };
    EXPECT_EQ(std::pair(op("nosuch", AttrOp::read), op(Kel::AttrId{99}, AttrOp::read)),
              std::pair(2, 2));
    // The operations cast to the type's class: another object is refused first.
    struct Stranger : Kel::PtrInterface {
    } stranger;
    EXPECT_THROW(widgetType.genericIfAttributeOp(stranger, "input", AttrOp::read, io),
                 Kel::RangeException);
    ASSERT_EQ(op("record", AttrOp::invoke, {std::uint32_t{42}}), 0);
    EXPECT_THAT(w->calls, ::testing::ElementsAre(42U));
    EXPECT_EQ(std::any_cast<std::size_t>(io), 1U);
    EXPECT_THAT([&] { op("record", AttrOp::invoke); },
                ThrowsMessage<Kel::RangeException>("argument 0 missing"));

    io = 7;
    EXPECT_THROW(op("input", AttrOp::write), Kel::RangeException);

    // Creation by type name takes a name and nothing else.
    Ptr<Kel::Entity> e = Kel::newEntity("Test::Widget", "made");
    ASSERT_TRUE(Kel::dynamicPtrCast<Widget>(e) && e->nameString() == Vosk::String("made"));
    EXPECT_THROW(Kel::newEntity("Test::Widget", "x", {1}), Kel::NewEntityArgsException);
    EXPECT_THROW(Kel::newEntity("Test::Nothing", "x"), Kel::UnknownTypeException);
}

enum class Colour : std::uint8_t { red, green, greenish };

TEST_F(KelTest, EnumerationsConvertOnlyTheirEnumerators) {
    Kel::EnumType<Colour> const colours(&widgetType, {"red", "green", "greenish"});
    EXPECT_EQ(colours.valueFromNumber(1), Colour::green);
    EXPECT_EQ(colours.valueFromName("greenish"), Colour::greenish);
    EXPECT_EQ(colours.nameOf(Colour::red), "red");
    EXPECT_THROW(colours.valueFromNumber(3), Kel::EnumValueException);
    EXPECT_THROW(colours.valueFromName("blue"), Kel::EnumValueException);
    // Not a constant: optimised builds would otherwise see through the check.
    unsigned volatile outside = 7;
    EXPECT_THROW(colours.nameOf(static_cast<Colour>(outside)), Kel::EnumValueException);

    // Only a whole name parses, taking the whole range; a failed parse leaves
    // the range and the value alone.
    for (std::string text : {"greenish", "greenish rest", "greenis", " red"}) {
        Kel::CharRange range{text.data(), text.data() + text.size()};
        Colour c = Colour::red;
        bool const whole = text == "greenish";
        EXPECT_EQ(colours.sequenceToValue(range, &c), whole) << text;
        EXPECT_EQ(std::pair(c, range.begin), whole ? std::pair(Colour::greenish, range.end)
                                                   : std::pair(Colour::red, text.data()))
            << text;
    }
}

}  // namespace
