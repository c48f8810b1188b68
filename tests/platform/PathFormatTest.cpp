#include "platform/PathFormat.h"

#include <gtest/gtest.h>

#include <string>

namespace platform {
namespace {

TEST(PathFormatTest, FitsExactlyOrFailsWithAnEmptyBufferNeverAShortenedPath) {
    char buffer[260];
    EXPECT_TRUE(PathFormat::Into(buffer, sizeof buffer, "%s%s", "/opt/kestrup/cfg/", "a.pcg"));
    EXPECT_STREQ(buffer, "/opt/kestrup/cfg/a.pcg");

    const std::string fits(259, 'x');
    EXPECT_TRUE(PathFormat::Copy(buffer, fits.c_str()));
    EXPECT_EQ(std::string(buffer), fits);

    const std::string tooLong(260, 'y');
    EXPECT_FALSE(PathFormat::Copy(buffer, tooLong.c_str()));
    EXPECT_STREQ(buffer, "");
    EXPECT_FALSE(PathFormat::Into(buffer, sizeof buffer, "%s/%s", fits.c_str(), "z"));
    EXPECT_STREQ(buffer, "");
}

}  // namespace
}  // namespace platform
