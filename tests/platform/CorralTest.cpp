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
    Corral::MountGroup& group() { return *em->getMountGroup(mounter.get()); }
    void mount(char const* path, char const* type, char const* flags) {
        Corral::Mount m(path, type);
        m.flagsIs(0);
        m.handleFlags(flags);
        group().doMount(m);
    }
    void close() { group().doClose(false, "", std::chrono::seconds(0)); }
};

TEST_F(CorralTest, ClosedGroupCompletesOnceWithItsStatus) {
    EXPECT_THROW(Corral::Mount("a", "Kel::Dir").handleFlags("rx"), Kel::RangeException);
    mount("routing/fhrp/hardware/status", "Routing::Fhrp::Hardware::Status", "w");
    EXPECT_EQ(em->doCompleteMounts(), 0) << "an open group completed";
    close();
    close();
    EXPECT_EQ(em->doCompleteMounts(), 1);
    EXPECT_EQ(em->doCompleteMounts(), 0);
    EXPECT_EQ(mounter->completions, std::vector{Corral::MountStatus::complete});
    EXPECT_EQ(group().closeCount(), 2);
    EXPECT_EQ(group().mounts()[0].flags(), Corral::kMountRead | Corral::kMountWrite);
}

TEST_F(CorralTest, MissingOrMistypedPathsMakeTheGroupIncomplete) {
    mount("routing/fhrp/hardware/status", "Kel::Dir", "r");
    mount("hardware/none", "Kel::Dir", "r");
    mount("routing/fhrp", "Kel::Dir", "r");
    close();
    em->doCompleteMounts();
    EXPECT_EQ(mounter->completions, std::vector{Corral::MountStatus::incomplete});
    EXPECT_EQ(group().missing(),
              (std::vector<Vosk::String>{"routing/fhrp/hardware/status", "hardware/none"}));
}

TEST_F(CorralTest, MounterGoneBeforeCompletionIsNotCalled) {
    mount("routing/fhrp/hardware/status", "Routing::Fhrp::Hardware::Status", "w");
    close();
    mounter.reset();
    EXPECT_EQ(em->doCompleteMounts(), 0);
}

}  // namespace
