#include <gtest/gtest.h>

#include "link/aError.h"

TEST(aError, NamesAndDescriptionsFollowTheTable)
{
    EXPECT_STREQ(aError_GetErrorText(aErrNone), "aErrNone");
    EXPECT_STREQ(aError_GetErrorText(aErrTimeout), "aErrTimeout");
    EXPECT_STREQ(aError_GetErrorDescription(27), "Corvestel command to short");
    EXPECT_STREQ(aError_GetErrorDescription(aErrNotReady), "Not ready, no bytes available");
}

TEST(aError, CodesPastTheTableReadAsUnknown)
{
    EXPECT_STREQ(aError_GetErrorText(35), "aErrUnknown");
    EXPECT_STREQ(aError_GetErrorText(0xFFFFFFFFu), "aErrUnknown");
    EXPECT_STREQ(aError_GetErrorDescription(1000), "Unknown error");
}
