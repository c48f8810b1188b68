#include "platform/usbio/InstrumentId.h"

#include <cstdint>
#include <cstdio>

namespace platform::usbio {
namespace {

bool Digits(const std::string& text, std::size_t& at) {
    const std::size_t from = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        ++at;
    }
    // No leading zeros: sysfs writes the numbers plainly, so "01-2" names
    // no port and must not stand for "1-2".
    return at > from && at - from <= 3 && !(text[from] == '0' && at - from > 1);
}

}  // namespace

bool InstrumentId::IsPortPathForm(const std::string& text) {
    std::size_t at = 0;
    if (!Digits(text, at) || at >= text.size() || text[at] != '-') {
        return false;
    }
    ++at;
    while (true) {
        if (!Digits(text, at)) {
            return false;
        }
        if (at == text.size()) {
            return true;
        }
        if (text[at] != '.') {
            return false;
        }
        ++at;
    }
}

bool InstrumentId::Parse(const std::string& text, InstrumentId& out, std::string& error) {
    if (text.empty() || text.size() > kMaxLength) {
        error = "an instrument ID is a serial number or a port path BUS-PORT[.PORT...] of 1 to " +
                std::to_string(kMaxLength) + " characters";
        return false;
    }
    for (const char c : text) {
        if (c <= ' ' || c > '~') {
            error =
                "an instrument ID holds printable ASCII characters without spaces only; name an "
                "instrument whose serial number holds others by its port path";
            return false;
        }
    }
    out.text_ = text;
    return true;
}

bool InstrumentId::Matches(const std::string& serial, const std::string& portPath) const {
    if (text_.empty()) {
        return false;
    }
    return IsPortPath() ? portPath == text_ : serial == text_;
}

std::string InstrumentId::FileName() const {
    std::string name;
    for (const char c : text_) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_' ||
                           (c == '.' && !name.empty());
        if (plain) {
            name += c;
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
            name += escaped;
        }
    }
    if (name.size() <= kMaxLength) {
        return name;
    }
    // FNV-1a: only needs to keep different long IDs apart. "~" never stands
    // for itself in an escaped name, so no short ID reads the same.
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : text_) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    char hashed[24];
    std::snprintf(hashed, sizeof hashed, "~%016llx", static_cast<unsigned long long>(hash));
    return hashed;
}

}  // namespace platform::usbio
