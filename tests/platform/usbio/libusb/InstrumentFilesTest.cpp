// The udev rules and the ids file that `cmake --install` puts in place, made
// here for the pairs 1209:1 and ABCD:ef01.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
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

std::vector<std::string> RuleLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> rules;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line[0] != '#') {
            rules.push_back(line);
        }
    }
    return rules;
}

// The station's rule: every listed instrument a device unit of systemd's,
// and a run wanted for it only where the station's configuration exists;
// never for an interface, never on removal.
TEST(InstrumentFilesTest, StationRuleStartsARunPerInstrumentOnlyOnAStation) {
    const std::string name = "71-kestrup-station.rules";
    EXPECT_GT(name, std::string("70-kestrup-instruments.rules"));  // after the group is given
    const std::string pair = "ATTR{idVendor}==\"abcd\", ATTR{idProduct}==\"ef01\", ";
    EXPECT_EQ(RuleLines(kDir + name),
              (std::vector<std::string>{
                  "ACTION==\"remove\", GOTO=\"kestrup_station_end\"",
                  "SUBSYSTEM!=\"usb\", GOTO=\"kestrup_station_end\"",
                  "ENV{DEVTYPE}!=\"usb_device\", GOTO=\"kestrup_station_end\"",
                  "ATTR{idVendor}==\"1209\", ATTR{idProduct}==\"0001\", TAG+=\"systemd\"",
                  "ATTR{idVendor}==\"1209\", ATTR{idProduct}==\"0001\", "
                  "TEST==\"/etc/kestrup/station.conf\", "
                  "ENV{SYSTEMD_WANTS}+=\"kestrup-station@%k.service\"",
                  pair + "TAG+=\"systemd\"",
                  pair + "TEST==\"/etc/kestrup/station.conf\", "
                         "ENV{SYSTEMD_WANTS}+=\"kestrup-station@%k.service\"",
                  "LABEL=\"kestrup_station_end\""}));
}

// The station's unit: one run bound to the port its instance names, as the
// system user kestrup, active after its run until the instrument goes, and
// (where systemd is installed) a unit systemd accepts.
TEST(InstrumentFilesTest, StationUnitRunsOneBoundRunPerInstanceThatSystemdAccepts) {
    const std::vector<std::string> lines = RuleLines(KESTRUP_STATION_UNIT);
    for (const char* wanted :
         {"ExecStart=/opt/kestrup/bin/kestrup --station %i", "User=kestrup", "Group=kestrup",
          "Type=oneshot", "RemainAfterExit=yes", "StopWhenUnneeded=yes",
          "ConditionPathExists=/etc/kestrup/station.conf", "StateDirectory=kestrup",
          "RuntimeDirectory=kestrup-station", "SuccessExitStatus=4 143"}) {
        EXPECT_NE(std::find(lines.begin(), lines.end(), wanted), lines.end()) << wanted;
    }
    if (std::system("command -v systemd-analyze >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "systemd-analyze is not installed";
    }
    // The program is not installed here: the unit is checked with a
    // stand-in that exists.
    std::ifstream in(KESTRUP_STATION_UNIT);
    std::stringstream text;
    text << in.rdbuf();
    std::string unit = text.str();
    const std::string program = "/opt/kestrup/bin/kestrup";
    unit.replace(unit.find(program), program.size(), "/bin/true");
    char dir[] = "/tmp/kestrup-unit-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/kestrup-station@.service";
    std::ofstream(path) << unit;
    const std::string verify =
        "systemd-analyze verify --man=no '" + path + "' > '" + dir + "/log' 2>&1";
    const int status = std::system(verify.c_str());
    std::ifstream log(std::string(dir) + "/log");
    std::stringstream said;
    said << log.rdbuf();
    EXPECT_EQ(status, 0) << said.str();
    std::system(("rm -rf '" + std::string(dir) + "'").c_str());
}

}  // namespace
