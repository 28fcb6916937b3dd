#pragma once

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <iostream>

namespace PlinthTest {

// Runs `body` in a child process and fails when it failed there; the child
// prints its failures. For what a process does only once (the
// feature toggle is read once): a test whose outcome depends on it runs in
// a child, and the parent never does it at all.
inline void inOwnProcess(std::function<void()> const& body) {
    EXPECT_EXIT(
        {
            ::testing::TestPartResultArray results;
            {
                ::testing::ScopedFakeTestPartResultReporter const reporter(
                    ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &results);
                body();
            }
            bool failed = false;
            for (int i = 0; i < results.size(); ++i) {
                failed |= results.GetTestPartResult(i).failed();
                std::cout << results.GetTestPartResult(i) << std::flush;
            }
            ::_exit(failed ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "")
        << "failed in a process of its own (see above)";
}

}  // namespace PlinthTest
