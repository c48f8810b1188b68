#include "platform/usbio/libusb/LibusbBackend.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/usbio/UsbioDriver.h"

namespace platform::usbio {
namespace {

// Install reads the user's ids file from a private configuration directory.
class LibusbBackendInstallTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kestrup-install-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        const char* old = std::getenv("XDG_CONFIG_HOME");
        hadConfig_ = old != nullptr;
        oldConfig_ = old != nullptr ? old : "";
        ::setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
    }
    void TearDown() override {
        hadConfig_ ? ::setenv("XDG_CONFIG_HOME", oldConfig_.c_str(), 1)
                   : ::unsetenv("XDG_CONFIG_HOME");
        ASSERT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0);
    }
    void WriteUserIds(const std::string& text) {
        ASSERT_EQ(std::system(("mkdir -p '" + dir_ + "/kestrup'").c_str()), 0);
        std::ofstream(dir_ + "/kestrup/usb-ids") << text;
    }

    std::string dir_;
    bool hadConfig_ = false;
    std::string oldConfig_;
};

TEST_F(LibusbBackendInstallTest, ABadCommandLineIdRefusesTheBackEndBeforeLibusbStarts) {
    std::string error;
    EXPECT_EQ(LibusbBackend::Install({"1209:0001", "12:34:56"}, error), nullptr);
    EXPECT_EQ(error, "not a USB vendor:product pair: 12:34:56");
}

TEST_F(LibusbBackendInstallTest, ListsTheFilesPairsAndTheCommandLinesAndWarnsOfBadLines) {
    WriteUserIds("abcd:0001\nnonsense\n");
    std::string error;
    std::vector<std::string> warnings;
    auto backend = LibusbBackend::Install({"1209:0002"}, error, &warnings);
    if (!backend) {
        GTEST_SKIP() << "libusb does not start here: " << error;
    }
    EXPECT_TRUE(backend->Ids().Contains(0xABCD, 0x0001));
    EXPECT_TRUE(backend->Ids().Contains(0x1209, 0x0002));
    ASSERT_FALSE(warnings.empty());
    EXPECT_NE(warnings.back().find("usb-ids:2: not a vendor:product pair"), std::string::npos);
    UsbioDriver::RemoveBackend(backend);
}

TEST_F(LibusbBackendInstallTest, AnEmptyListIsWarnedOf) {
    std::string error;
    std::vector<std::string> warnings;
    auto backend = LibusbBackend::Install({}, error, &warnings);
    if (!backend) {
        GTEST_SKIP() << "libusb does not start here: " << error;
    }
    // Unless this machine has its own system ids file.
    if (backend->Ids().Empty()) {
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_NE(warnings[0].find("no instrument can be found"), std::string::npos);
        EXPECT_TRUE(backend->AttachedDevices().empty());
    }
    UsbioDriver::RemoveBackend(backend);
}

}  // namespace
}  // namespace platform::usbio
