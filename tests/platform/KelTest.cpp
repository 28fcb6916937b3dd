#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "Kel/Dir.h"
#include "Kel/Enum.h"
#include "Kel/Format.h"
#include "Kel/Type.h"

namespace {

using Kel::AttrOp;
using Kel::Ptr;

// A small entity with one attribute of each kind, to exercise reflection.
class Widget : public Kel::Entity {
  public:
    explicit Widget(Vosk::String name = "w") : Entity(std::move(name)) {}
    Kel::TypeImpl const* fwkType() const override;

    int size = 0;
    Ptr<Kel::Entity> input;
    Ptr<Widget> child;
    std::vector<std::uint32_t> calls;
};

Kel::TypeImpl const widgetType(
    "Test::Widget",
    {Kel::attrRead<Widget>("size", [](Widget& w) { return w.size; }),
     Kel::attrReadWrite<Widget>(
         "input", [](Widget& w) { return w.input; },
         [](Widget& w, Ptr<Kel::Entity> const& e) { w.input = e; }),
     Kel::attrOwned<Widget>(
         "child", [](Widget& w) { return w.child; },
         [](Widget& w) {
             if (!w.child) {
                 w.child = Kel::newPtr<Widget>("child");
             }
             return w.child;
         },
         [](Widget& w) { return std::exchange(w.child, nullptr); }),
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
class SelfReferencing : public Kel::PtrInterface {
  public:
    ~SelfReferencing() override { Ptr<SelfReferencing> self(this); }
};

class KelTest : public ::testing::Test {
  protected:
    void TearDown() override { EXPECT_EQ(Kel::liveObjects(), live_); }
    std::int64_t const live_ = Kel::liveObjects();
};

TEST_F(KelTest, LastReferenceDestroysOnceEvenWhenTheDestructorTakesOne) {
    {
        Ptr<SelfReferencing> a(new SelfReferencing());
        Ptr<Kel::PtrInterface> b = a;
        EXPECT_EQ(a->references(), 2U);
        EXPECT_EQ(Kel::dynamicPtrCast<SelfReferencing>(b), a);
    }
    // TearDown checks nothing is left alive; ASan would catch a double delete.
}

TEST_F(KelTest, ThreadSafeCountingKeepsCountsExact) {
    Kel::threadSafePtrIs(true);
    Ptr<Widget> w(new Widget());
    auto churn = [&] {
        for (int i = 0; i < 100000; ++i) {
            Ptr<Widget> copy = w;
        }
    };
    std::thread t1(churn), t2(churn);
    t1.join();
    t2.join();
    Kel::threadSafePtrIs(false);
    EXPECT_EQ(w->references(), 1U);
}

TEST_F(KelTest, GenericAttributeOpsAnswerDoneUnsupportedOrUnknown) {
    Ptr<Widget> w(new Widget());
    Kel::Value io;
    struct Case {
        char const* attr;
        AttrOp op;
        int result;
    };
    for (Case c : {Case{"size", AttrOp::read, 0}, Case{"size", AttrOp::write, 1},
                   Case{"size", AttrOp::del, 1}, Case{"input", AttrOp::read, 0},
                   Case{"input", AttrOp::del, 1}, Case{"child", AttrOp::read, 0},
                   Case{"child", AttrOp::invoke, 1}, Case{"record", AttrOp::read, 1},
                   Case{"nosuch", AttrOp::read, 2}}) {
        EXPECT_EQ(widgetType.genericIfAttributeOp(*w, c.attr, c.op, io), c.result)
            << c.attr << " op " << static_cast<int>(c.op);
    }
    EXPECT_EQ(widgetType.genericIfAttributeOp(*w, Kel::AttrId{99}, AttrOp::read, io), 2);
    // The operations cast to the type's class: another object is refused first.
    struct Stranger : Kel::PtrInterface {
    } stranger;
    EXPECT_THROW(widgetType.genericIfAttributeOp(stranger, "size", AttrOp::read, io),
                 Kel::RangeException);
}

TEST_F(KelTest, EntitiesTravelAsPtrInterfaceAndAreCheckedOnTheWayBack) {
    Ptr<Widget> w(new Widget());
    Ptr<Widget> other(new Widget("other"));
    Kel::Value io = Kel::toValue(Ptr<Kel::Entity>(other));
    ASSERT_EQ(widgetType.genericIfAttributeOp(*w, "input", AttrOp::write, io), 0);
    EXPECT_EQ(w->input, other);

    Kel::Value created;
    ASSERT_EQ(widgetType.genericIfAttributeOp(*w, "child", AttrOp::write, created), 0);
    EXPECT_EQ(Kel::fromValue<Ptr<Widget>>(created), w->child);
    Kel::Value again;
    widgetType.genericIfAttributeOp(*w, "child", AttrOp::write, again);
    EXPECT_EQ(Kel::fromValue<Ptr<Widget>>(again), Kel::fromValue<Ptr<Widget>>(created));

    Kel::Value removed;
    ASSERT_EQ(widgetType.genericIfAttributeOp(*w, "child", AttrOp::del, removed), 0);
    EXPECT_FALSE(w->child);
    EXPECT_TRUE(Kel::fromValue<Ptr<Widget>>(removed));

    Kel::Value number = 7;
    EXPECT_THROW(widgetType.genericIfAttributeOp(*w, "input", AttrOp::write, number),
                 Kel::RangeException);
    Kel::Value wrongEntity = Kel::toValue(Ptr<Kel::PtrInterface>(new SelfReferencing()));
    EXPECT_THROW(Kel::fromValue<Ptr<Widget>>(wrongEntity), Kel::RangeException);
    // What is held read-only comes out read-only.
    Kel::Value readOnly = Kel::toValue(Ptr<Widget const>(other));
    EXPECT_EQ(Kel::fromValue<Ptr<Widget const>>(readOnly), other);
    EXPECT_THROW(Kel::fromValue<Ptr<Widget>>(readOnly), Kel::RangeException);
}

TEST_F(KelTest, InvokePassesArgumentsAndNamesABadOne) {
    Ptr<Widget> w(new Widget());
    Kel::Value result;
    ASSERT_EQ(
        widgetType.genericIfAttributeOp(*w, "record", AttrOp::invoke, result, {std::uint32_t{42}}),
        0);
    EXPECT_THAT(w->calls, ::testing::ElementsAre(42U));
    EXPECT_EQ(std::any_cast<std::size_t>(result), 1U);
    try {
        widgetType.genericIfAttributeOp(*w, "record", AttrOp::invoke, result, {});
        FAIL() << "missing argument accepted";
    } catch (Kel::RangeException const& e) {
        EXPECT_STREQ(e.what(), "argument 0 missing");
    }
}

TEST_F(KelTest, CreationByTypeNameTakesANameAndNothingElse) {
    Ptr<Kel::Entity> e = Kel::newEntity("Test::Widget", "made");
    ASSERT_TRUE(Kel::dynamicPtrCast<Widget>(e));
    EXPECT_EQ(e->nameString(), Vosk::String("made"));
    EXPECT_THROW(Kel::newEntity("Test::Widget", "x", {1}), Kel::NewEntityArgsException);
    EXPECT_THROW(Kel::newEntity("Test::Nothing", "x"), Kel::UnknownTypeException);
    EXPECT_EQ(Kel::typeImpl("Kel::Dir")->name(), "Kel::Dir");
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

    // Only a whole name parses; a failed parse leaves the range alone.
    Colour c{};
    for (std::string text : {"green", "greenish"}) {
        Kel::CharRange range{text.data(), text.data() + text.size()};
        ASSERT_TRUE(colours.sequenceToValue(range, &c)) << text;
        EXPECT_EQ(c, colours.valueFromName(text));
        EXPECT_EQ(range.begin, range.end) << text;
    }
    for (std::string text : {"greenish rest", "greenis", "greenishh", "", " red"}) {
        Kel::CharRange range{text.data(), text.data() + text.size()};
        c = Colour::red;
        EXPECT_FALSE(colours.sequenceToValue(range, &c)) << text;
        EXPECT_EQ(range.begin, text.data()) << text;
        EXPECT_EQ(c, Colour::red) << text;
    }
}

TEST_F(KelTest, U12TakesTwelveBitsAndRefusesMoreWithItsMessage) {
    EXPECT_EQ(Kel::U12(0).value(), 0);
    EXPECT_EQ(Kel::U12(0x0fff).value(), 0x0fff);
    for (std::uint64_t bad : {0x1000ULL, 0xffffULL, 0x1'0000'0000ULL}) {
        try {
            Kel::U12 u(bad);
            FAIL() << bad << " accepted as " << u.value();
        } catch (Kel::RangeException const& e) {
            EXPECT_STREQ(e.what(), "U12::value < 0 or > 0x0fff not allowed");
        }
    }
}

TEST_F(KelTest, FormatsPrintfStyleWhateverTheLength) {
    EXPECT_EQ(Kel::_fmt("l3/smState/%d", 2), "l3/smState/2");
    EXPECT_EQ(Kel::_fmt("%s", std::string(1000, 'x').c_str()).size(), 1000U);
    EXPECT_EQ(Kel::_fmt("plain"), "plain");
}

TEST_F(KelTest, FatalAssertionNamesExpressionFunctionAndSource) {
    EXPECT_DEATH(KEL_ASSERT(false, "x != 0", "void f(int)", "Unit/Source"),
                 "Unit/Source:[0-9]+: void f\\(int\\): Assertion `x != 0' failed\\.");
}

TEST_F(KelTest, DirectoriesHoldEntitiesAtPaths) {
    // Nothing holds this directory: an operation that took a counted
    // reference to it would delete it (here, free the stack) on release.
    Kel::Dir onStack;
    Kel::Dir* root = &onStack;
    Ptr<Widget> w(new Widget());
    root->entityAtIs("a/b/w", w);
    EXPECT_EQ(root->entityAt("a/b/w"), w);
    EXPECT_EQ(w->parent()->name(), Vosk::String("b"));
    EXPECT_FALSE(root->entityAt("a/x/w"));
    EXPECT_FALSE(root->entityAt("a/b/w/deeper"));
    EXPECT_THROW(root->entityAtIs("a/b/w/deeper", w), Kel::Exception);
    EXPECT_THROW(root->entityAt("a//b"), Kel::Exception);
    EXPECT_EQ(root->entityAtDel("a/b/w"), w);
    EXPECT_EQ(w->parent(), nullptr);
    EXPECT_FALSE(root->entityAtDel("a/b/w"));
    EXPECT_EQ(onStack.references(), 0U);
    EXPECT_THROW(Kel::heldPtr(root), Kel::Exception);
}

}  // namespace
