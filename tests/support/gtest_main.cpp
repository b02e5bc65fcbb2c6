// The main of every GoogleTest program here. A case that skips itself did
// not test anything, so a program that ran without failure but skipped a
// case ends with 77, which CTest reports as skipped (never as passed), and
// the test command fails on skips. A failure still ends the program with 1.
#include <gtest/gtest.h>

#include <cstdio>

namespace {
constexpr int kSkippedExitCode = 77;
}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    const int skipped = ::testing::UnitTest::GetInstance()->skipped_test_count();
    if (result == 0 && skipped > 0) {
        std::printf("%d test(s) skipped: reported as a skipped test\n", skipped);
        return kSkippedExitCode;
    }
    return result;
}
