#include "firmware/Resources.h"

#include <gtest/gtest.h>

// This executable embeds nothing: it must still link, and find nothing.
TEST(FindResource, ExecutableWithoutResources)
{
    EXPECT_FALSE(FindResource("test_blob").has_value());
    EXPECT_FALSE(FindResource("7z_dll").has_value());
    EXPECT_FALSE(FindResource("").has_value());
}
