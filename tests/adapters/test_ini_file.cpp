#include <gtest/gtest.h>
TEST(Ini, Placeholder) {}
