#pragma once

#include <gtest/gtest.h>

#include "Kel/Ptr.h"

namespace PlinthTest {

// Declared as a fixture's first member, it is destroyed after every other
// member and then checks that every counted object made since is gone.
struct NothingLeft {
    std::int64_t const atStart = Kel::liveObjects();
    ~NothingLeft() { EXPECT_EQ(Kel::liveObjects(), atStart) << "objects left alive"; }
};

}  // namespace PlinthTest
