// The udev rules and the ids file that `cmake --install` puts in place, made
// here for the pairs 1209:1 and ABCD:ef01.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/usbio/libusb/UsbIdList.h"

namespace {

const std::string kDir = KESTRUP_INSTRUMENT_FILES;

TEST(InstrumentFilesTest, IdsFileReadsBackAsTheConfiguredPairs) {
    platform::usbio::UsbIdList ids;
    std::vector<std::string> problems;
    EXPECT_EQ(ids.AddFile(kDir + "usb-ids", problems), 2u);
    EXPECT_TRUE(problems.empty());
    EXPECT_TRUE(ids.Contains(0x1209, 0x0001));
    EXPECT_TRUE(ids.Contains(0xABCD, 0xEF01));
}

// The user at the seat (uaccess, read by 73-seat-late.rules) and the members
// of the group kestrup from any session may open each listed pair.
TEST(InstrumentFilesTest, UdevRulesOpenEachPairToTheSeatUserAndTheGroup) {
    const std::string name = "70-kestrup-instruments.rules";
    EXPECT_LT(name, std::string("73-seat-late.rules"));  // uaccess is read there
    std::ifstream in(kDir + name);
    ASSERT_TRUE(in);
    std::vector<std::string> rules;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line[0] != '#') {
            rules.push_back(line);
        }
    }
    // udev compares the sysfs attributes as text: four lower-case digits.
    EXPECT_EQ(rules, (std::vector<std::string>{
                         "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", "
                         "ATTR{idVendor}==\"1209\", ATTR{idProduct}==\"0001\", GROUP=\"kestrup\", "
                         "MODE=\"0660\", TAG+=\"uaccess\"",
                         "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", "
                         "ATTR{idVendor}==\"abcd\", ATTR{idProduct}==\"ef01\", GROUP=\"kestrup\", "
                         "MODE=\"0660\", TAG+=\"uaccess\""}));
}

}  // namespace
