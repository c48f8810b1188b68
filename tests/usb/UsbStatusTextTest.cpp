#include "usb/UsbStatusText.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(UsbStatusTextTest, CodesGiveTheirExactTexts) {
    EXPECT_STREQ(UsbStatusText(0), "No error.");
    EXPECT_STREQ(UsbStatusText(0xE0000004), "HC Error: stall PID.");
    EXPECT_STREQ(UsbStatusText(0xE000100C), "The request has been timed out.");
    EXPECT_STREQ(UsbStatusText(0xE0001015), "Out of address space. Not enough system resources.");
    EXPECT_STREQ(UsbStatusText(0xE0050000), "USBD Error: ISO not accessed, submitted too late.");
    EXPECT_STREQ(UsbStatusText(0xE0001105), "An invalid parameter was passed.");
    // Two codes that differ in one digit.
    EXPECT_STREQ(UsbStatusText(0xE8001000), "USBD Error: Insufficient resources.");
    EXPECT_STREQ(UsbStatusText(0xE0001000), "Operation failed.");
}

TEST(UsbStatusTextTest, CodesWithoutTextGiveNull) {
    for (std::uint32_t code :
         {0xE0001106u, 0xE000000Eu, 0xE0001019u, 0xE0001101u, 0xE0001103u, 997u, 6u, 0xFFFFFFFFu}) {
        EXPECT_EQ(UsbStatusText(code), nullptr) << std::hex << code;
    }
}

}  // namespace
