// A GoogleTest program on the shared main, for the check that a program
// that skipped a case is never taken for one that passed.
#include <gtest/gtest.h>

TEST(SkipExit, Passes) { SUCCEED(); }
TEST(SkipExit, Skips) { GTEST_SKIP() << "a prerequisite is missing"; }
TEST(SkipExit, Fails) { FAIL() << "a real failure"; }
