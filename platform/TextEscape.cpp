#include "platform/TextEscape.h"

#include <cstdint>
#include <cstdio>

namespace platform {
namespace {

// The length of the valid UTF-8 character at bytes[at] and its code point;
// 0 when the byte there does not start one (a stray continuation byte, an
// overlong form, a surrogate, a value above U+10FFFF, a cut sequence).
std::size_t Character(std::string_view bytes, std::size_t at, std::uint32_t& codePoint) {
    const auto lead = static_cast<unsigned char>(bytes[at]);
    std::size_t length = 0;
    std::uint32_t min = 0;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        min = 0x80;
        codePoint = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        min = 0x800;
        codePoint = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        min = 0x10000;
        codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > bytes.size()) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(bytes[at + i]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        codePoint = (codePoint << 6) | (next & 0x3F);
    }
    if (codePoint < min || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        return 0;
    }
    return length;
}

bool IsControl(std::uint32_t codePoint) {
    return codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F);
}

}  // namespace

std::string TextEscape::ForTerminal(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t at = 0; at < bytes.size();) {
        std::uint32_t codePoint = 0;
        const std::size_t length = Character(bytes, at, codePoint);
        char escape[8];
        if (length == 0) {
            std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(bytes[at]));
            out += escape;
            ++at;
            continue;
        }
        if (codePoint == '\\') {
            out += "\\\\";
        } else if (codePoint == '\t') {
            out += "\\t";
        } else if (codePoint == '\n') {
            out += "\\n";
        } else if (codePoint == '\r') {
            out += "\\r";
        } else if (IsControl(codePoint)) {
            // C0, DEL and the two bytes of a C1 control, each as "\xNN".
            for (std::size_t i = 0; i < length; ++i) {
                std::snprintf(escape, sizeof escape, "\\x%02X",
                              static_cast<unsigned char>(bytes[at + i]));
                out += escape;
            }
        } else {
            out.append(bytes.substr(at, length));
        }
        at += length;
    }
    return out;
}

std::string TextEscape::WithoutControls(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t at = 0; at < bytes.size();) {
        std::uint32_t codePoint = 0;
        const std::size_t length = Character(bytes, at, codePoint);
        if (length == 0) {
            out += bytes[at++];
            continue;
        }
        if (!IsControl(codePoint)) {
            out.append(bytes.substr(at, length));
        }
        at += length;
    }
    return out;
}

bool TextEscape::HasControl(std::string_view bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
        std::uint32_t codePoint = 0;
        const std::size_t length = Character(bytes, at, codePoint);
        if (length != 0 && IsControl(codePoint)) {
            return true;
        }
        at += length == 0 ? 1 : length;
    }
    return false;
}

std::size_t TextEscape::CharacterAt(std::string_view bytes, std::size_t at) {
    std::uint32_t codePoint = 0;
    return at < bytes.size() ? Character(bytes, at, codePoint) : 0;
}

std::size_t TextEscape::CharacterBoundary(std::string_view bytes, std::size_t limit) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::uint32_t codePoint = 0;
        const std::size_t length = Character(bytes, at, codePoint);
        const std::size_t next = at + (length == 0 ? 1 : length);
        if (next > limit) {
            break;
        }
        at = next;
    }
    return at;
}

}  // namespace platform
