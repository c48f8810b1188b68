#include "platform/usbio/libusb/UsbIdList.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace platform::usbio {
namespace {

class UsbIdListFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kestrup-ids-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { ASSERT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0); }
    std::string Write(const std::string& name, const std::string& text) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    std::string dir_;
};

TEST(UsbIdListTest, ParsesHexPairsAndRefusesEverythingElse) {
    EXPECT_EQ(UsbIdList::Parse("1209:0001"), (UsbIdList::Id{0x1209, 0x0001}));
    EXPECT_EQ(UsbIdList::Parse(" 0x1A2b : fF "), (UsbIdList::Id{0x1A2B, 0x00FF}));
    EXPECT_EQ(UsbIdList::Parse("1:2"), (UsbIdList::Id{1, 2}));
    for (const char* bad : {"", "1209", "1209:", ":0001", "12090:0001", "1209:00010", "12g9:0001",
                            "1209:0001:2", "1209-0001", "-1:1", "0x:1"}) {
        EXPECT_FALSE(UsbIdList::Parse(bad).has_value()) << bad;
    }
}

TEST(UsbIdListTest, ContainsOnlyTheExactPairsAdded) {
    UsbIdList ids;
    EXPECT_TRUE(ids.Empty());
    EXPECT_TRUE(ids.Add("1209:0001"));
    EXPECT_FALSE(ids.Add("not an id"));
    ids.Add(UsbIdList::Id{0x1209, 0x0001});  // a duplicate is kept once
    EXPECT_EQ(ids.Ids().size(), 1u);
    EXPECT_TRUE(ids.Contains(0x1209, 0x0001));
    EXPECT_FALSE(ids.Contains(0x1209, 0x0002));
    EXPECT_FALSE(ids.Contains(0x0001, 0x1209));
}

TEST_F(UsbIdListFileTest, ReadsPairsSkipsCommentsAndReportsBadLines) {
    const std::string path = Write("usb-ids",
                                   "# instruments\n"
                                   "\n"
                                   "1209:0001   # the bench unit\n"
                                   "  0483:5740\r\n"
                                   "1209:0001\n"
                                   "garbage\n"
                                   "12345:1\n"
                                   "abcd:ef01");  // no final newline
    UsbIdList ids;
    std::vector<std::string> problems;
    EXPECT_EQ(ids.AddFile(path, problems), 4u);
    EXPECT_EQ(ids.Ids().size(), 3u);
    EXPECT_TRUE(ids.Contains(0x1209, 0x0001));
    EXPECT_TRUE(ids.Contains(0x0483, 0x5740));
    EXPECT_TRUE(ids.Contains(0xABCD, 0xEF01));
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_EQ(problems[0], path + ":6: not a vendor:product pair");
    EXPECT_EQ(problems[1], path + ":7: not a vendor:product pair");
}

TEST_F(UsbIdListFileTest, MissingFileIsNoProblemButOversizedOrUnreadableIs) {
    UsbIdList ids;
    std::vector<std::string> problems;
    EXPECT_EQ(ids.AddFile(dir_ + "/absent", problems), 0u);
    EXPECT_TRUE(problems.empty());

    std::string big;
    while (big.size() <= UsbIdList::kMaxFileSize) {
        big += "1209:0001\n";
    }
    EXPECT_EQ(ids.AddFile(Write("big", big), problems), 0u);
    EXPECT_TRUE(ids.Empty());  // nothing of an oversized file counts
    ASSERT_EQ(problems.size(), 1u);

    // Only a regular file is read: a directory, a device that never ends
    // and a FIFO without a writer (which would hold up start-up) are each a
    // problem, reported at once.
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {dir_, std::string("/dev/zero"), fifo}) {
        EXPECT_EQ(ids.AddFile(path, problems), 0u) << path;
    }
    EXPECT_EQ(problems.size(), 4u);
    EXPECT_TRUE(ids.Empty());
}

TEST(UsbIdListTest, DefaultFilesAreTheSystemsThenTheUsers) {
    const char* oldConfig = std::getenv("XDG_CONFIG_HOME");
    const char* oldHome = std::getenv("HOME");
    const std::string savedConfig = oldConfig ? oldConfig : "";
    const std::string savedHome = oldHome ? oldHome : "";

    ::setenv("HOME", "/home/op", 1);
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(
        UsbIdList::DefaultFiles(),
        (std::vector<std::string>{"/etc/kestrup/usb-ids", "/home/op/.config/kestrup/usb-ids"}));
    ::setenv("XDG_CONFIG_HOME", "/cfg", 1);
    EXPECT_EQ(UsbIdList::DefaultFiles(),
              (std::vector<std::string>{"/etc/kestrup/usb-ids", "/cfg/kestrup/usb-ids"}));
    ::setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored
    EXPECT_EQ(UsbIdList::DefaultFiles().back(), "/home/op/.config/kestrup/usb-ids");

    oldConfig ? ::setenv("XDG_CONFIG_HOME", savedConfig.c_str(), 1) : ::unsetenv("XDG_CONFIG_HOME");
    oldHome ? ::setenv("HOME", savedHome.c_str(), 1) : ::unsetenv("HOME");
}

}  // namespace
}  // namespace platform::usbio
