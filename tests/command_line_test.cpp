#include <gtest/gtest.h>
#include "command_line.hpp"
TEST(X, Y) { EXPECT_TRUE(corvane::parse_command_line({"--run"})); }
