#include "usb/UsbStatusText.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <string>

namespace {

// The texts as listed in UsbStatusTexts.txt: "| 0xE0000004 | "HC Error: stall PID." |".
std::map<std::uint32_t, std::string> ListedTexts() {
    std::map<std::uint32_t, std::string> texts;
    std::ifstream in(KESTRUP_STATUS_TEXTS);
    EXPECT_TRUE(in.is_open()) << KESTRUP_STATUS_TEXTS;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const auto codeEnd = line.find(" | \"");
        const auto textEnd = line.rfind("\" |");
        if (line.rfind("| 0x", 0) != 0 || codeEnd == std::string::npos ||
            textEnd == std::string::npos || textEnd <= codeEnd + 4) {
            ADD_FAILURE() << "not a table row: " << line;
            continue;
        }
        const auto code =
            static_cast<std::uint32_t>(std::stoul(line.substr(2, codeEnd - 2), nullptr, 16));
        EXPECT_TRUE(texts.emplace(code, line.substr(codeEnd + 4, textEnd - codeEnd - 4)).second)
            << "listed twice: " << line;
    }
    return texts;
}

TEST(UsbStatusTextTest, EveryListedCodeGivesItsExactText) {
    const auto texts = ListedTexts();
    ASSERT_EQ(texts.size(), 81u);
    for (const auto& [code, text] : texts) {
        SCOPED_TRACE(std::to_string(code));
        ASSERT_NE(UsbStatusText(code), nullptr);
        EXPECT_EQ(std::string(UsbStatusText(code)), text);
    }
}

TEST(UsbStatusTextTest, CodesWithoutTextGiveNull) {
    const auto texts = ListedTexts();
    for (std::uint32_t code :
         {0xE0001106u, 0xE000000Eu, 0xE0001019u, 0xE0001101u, 0xE0001103u, 997u, 6u, 0xFFFFFFFFu}) {
        EXPECT_EQ(texts.count(code), 0u) << std::hex << code;
        EXPECT_EQ(UsbStatusText(code), nullptr) << std::hex << code;
    }
    // Each listed code's neighbours have a text only when listed themselves.
    for (const auto& [code, text] : texts) {
        for (const std::uint32_t near : {code - 1, code + 1}) {
            EXPECT_EQ(UsbStatusText(near) != nullptr, texts.count(near) == 1) << std::hex << near;
        }
    }
}

}  // namespace
