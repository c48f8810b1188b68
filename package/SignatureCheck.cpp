#include "package/SignatureCheck.h"

#include <cstdint>
#include <cstdio>

namespace {

// The length of the UTF-8 sequence at text[at], 0 when it is not one.
std::size_t Utf8Length(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byte(at);
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07u;
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0u) != 0x80u) {
            return 0;
        }
        code = (code << 6) | (byte(at + i) & 0x3Fu);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not text; the
    // C1 controls (U+0080 to U+009F) are controls of a terminal.
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    if (overlong || code < 0xA0 || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
        return 0;
    }
    return length;
}

}  // namespace

bool SignatureCheck::Usable() const {
    return state == State::Verified || (state == State::Unsigned && !signatureRequired);
}

std::string SignatureCheck::ListWord() const {
    switch (state) {
        case State::Verified:
            return "signed:" + keyId;
        case State::Unsigned:
            return "unsigned";
        case State::BadSignature:
        case State::UntrustedKey:
            break;
    }
    return "bad-signature";
}

const char* SignatureCheck::StateName() const {
    switch (state) {
        case State::Verified:
            return "signed";
        case State::Unsigned:
            return "unsigned";
        case State::BadSignature:
            return "bad-signature";
        case State::UntrustedKey:
            break;
    }
    return "untrusted-key";
}

const char* SignatureCheck::RefusalPhrase() const {
    if (Usable()) {
        return "";
    }
    switch (state) {
        case State::Unsigned:
            return "is not signed";
        case State::UntrustedKey:
            return "is signed by a key that is not trusted";
        case State::BadSignature:
        case State::Verified:
            break;
    }
    return "has a signature that does not verify";
}

std::string SignatureCheck::Summary() const {
    return state == State::Verified ? Sentence() + " Trusted comment: " + Printable(trustedComment)
                                    : Sentence();
}

std::string SignatureCheck::Sentence() const {
    switch (state) {
        case State::Verified:
            return "Signed by key " + keyId + " and verified.";
        case State::Unsigned:
            return signatureRequired
                       ? "Not signed; signatures are required, so it cannot be installed."
                       : "Not signed.";
        case State::UntrustedKey:
            return "Signed by key " + keyId + ", which is not trusted; it cannot be installed.";
        case State::BadSignature:
            break;
    }
    return "Has a signature that does not verify (" + Printable(detail) +
           "); it cannot be installed.";
}

std::string SignatureCheck::Printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<std::uint8_t>(text[i]);
        if (c >= 0x80) {
            if (const std::size_t length = Utf8Length(text, i)) {
                out.append(text.substr(i, length));
                i += length;
                continue;
            }
        }
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c >= 0x7F) {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    return out;
}
