#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

TEST(Runtime, Placeholder) { EXPECT_EQ(CFStringGetLength(CFSTR("abc")), 3); }
