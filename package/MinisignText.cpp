#include "package/MinisignText.h"

#include <sodium.h>

bool MinisignText::Lines(std::string_view text, std::vector<std::string_view>& lines) {
    lines.clear();
    if (text.find('\0') != std::string_view::npos) {
        return false;
    }
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        start = end + 1;
    }
    while (!lines.empty() && lines.back().find_first_not_of(" \t") == std::string_view::npos) {
        lines.pop_back();
    }
    return true;
}

bool MinisignText::Decode(std::string_view line, std::uint8_t* bytes, std::size_t size) {
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return false;
    }
    line = line.substr(first, line.find_last_not_of(" \t") - first + 1);
    std::size_t decoded = 0;
    const char* end = nullptr;
    // A longer text would need more room than size and fails, so only an
    // exact length gets through.
    return sodium_base642bin(bytes, size, line.data(), line.size(), nullptr, &decoded, &end,
                             sodium_base64_VARIANT_ORIGINAL) == 0 &&
           end == line.data() + line.size() && decoded == size;
}

bool MinisignText::After(std::string_view line, std::string_view prefix, std::string_view& rest) {
    if (line.substr(0, prefix.size()) != prefix) {
        return false;
    }
    rest = line.substr(prefix.size());
    return true;
}
