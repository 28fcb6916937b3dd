#include <gtest/gtest.h>

#include "Corral/EntityManager.h"
#include "Corral/Mounter.h"
#include "Kel/Type.h"
#include "Routing/Fhrp.h"

namespace {

// A mounter that records its completion callbacks.
class RecordingMounter : public Corral::Mounter {
  public:
    RecordingMounter() : Corral::Mounter("recording") {}
    void doMountsComplete(Corral::MountStatus status, Kel::Ptr<Corral::EntityManager>) override {
        completions.push_back(status);
    }
    std::vector<Corral::MountStatus> completions;
};

struct CorralTest : ::testing::Test {
    Kel::Ptr<Corral::EntityManager> em{new Corral::EntityManager()};
    Kel::Ptr<RecordingMounter> mounter{new RecordingMounter()};

    void SetUp() override {
        mounter->corralEmIs(em);
        em->entityIs("routing/fhrp/hardware/status",
                     Kel::newPtr<Routing::Fhrp::Hardware::Status>());
    }
    void mount(char const* path, char const* type, char const* flags) {
        Corral::Mount m(path, type);
        m.flagsIs(0);
        m.handleFlags(flags);
        em->getMountGroup(mounter.get())->doMount(m);
    }
};

TEST_F(CorralTest, ClosedGroupCompletesOnceWithItsStatus) {
    mount("routing/fhrp/hardware/status", "Routing::Fhrp::Hardware::Status", "w");
    auto group = em->getMountGroup(mounter.get());
    EXPECT_EQ(em->doCompleteMounts(), 0) << "an open group completed";
    group->doClose(false, "", std::chrono::seconds(0));
    group->doClose(false, "", std::chrono::seconds(0));
    EXPECT_EQ(em->doCompleteMounts(), 1);
    EXPECT_EQ(em->doCompleteMounts(), 0);
    EXPECT_EQ(mounter->completions, std::vector{Corral::MountStatus::complete});
    EXPECT_EQ(group->closeCount(), 2);
    EXPECT_EQ(group->mounts()[0].flags(), Corral::kMountRead | Corral::kMountWrite);
}

TEST_F(CorralTest, MissingOrMistypedPathsMakeTheGroupIncomplete) {
    mount("routing/fhrp/hardware/status", "Kel::Dir", "r");
    mount("hardware/none", "Kel::Dir", "r");
    mount("routing/fhrp", "Kel::Dir", "r");
    em->getMountGroup(mounter.get())->doClose(false, "", std::chrono::seconds(0));
    em->doCompleteMounts();
    EXPECT_EQ(mounter->completions, std::vector{Corral::MountStatus::incomplete});
    auto const& missing = em->getMountGroup(mounter.get())->missing();
    ASSERT_EQ(missing.size(), 2U);
    EXPECT_EQ(missing[0], Vosk::String("routing/fhrp/hardware/status"));
    EXPECT_EQ(missing[1], Vosk::String("hardware/none"));
}

TEST_F(CorralTest, UnknownMountFlagIsRefused) {
    Corral::Mount m("a", "Kel::Dir");
    EXPECT_THROW(m.handleFlags("rx"), Kel::RangeException);
}

TEST_F(CorralTest, MounterGoneBeforeCompletionIsNotCalled) {
    mount("routing/fhrp/hardware/status", "Routing::Fhrp::Hardware::Status", "w");
    em->getMountGroup(mounter.get())->doClose(false, "", std::chrono::seconds(0));
    mounter.reset();
    EXPECT_EQ(em->doCompleteMounts(), 0);
}

}  // namespace
