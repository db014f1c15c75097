#include <gtest/gtest.h>
#include "state/denoise_state.h"
TEST(StateTest, StartsAtInitialValues) {
    EXPECT_EQ(denoiseState.readyFrame.load(), -1);
    EXPECT_EQ(denoiseState.pendingFrame, -1);
    EXPECT_TRUE(denoiseState.cacheSizeUnset);
}
