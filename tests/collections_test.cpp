#include <gtest/gtest.h>
#include "collections.h"
TEST(Placeholder, Builds) { list_t l; list_init(&l); EXPECT_EQ(1, list_is_empty(&l)); }
