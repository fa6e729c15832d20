#include <gtest/gtest.h>

TEST(Examples, Placeholder) {}
