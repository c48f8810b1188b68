#include "package/MinisignPublicKey.h"

#include <vector>

#include "package/MinisignText.h"

namespace {
constexpr std::string_view kCommentPrefix = "untrusted comment: ";
constexpr std::size_t kEncodedBytes = 2 + 8 + 32;
}  // namespace

std::optional<MinisignPublicKey> MinisignPublicKey::Parse(std::string_view text,
                                                          std::string& error) {
    std::vector<std::string_view> lines;
    std::string_view comment;
    if (text.size() > kMaxFileBytes) {
        error = "longer than a key file";
        return std::nullopt;
    }
    if (!MinisignText::Lines(text, lines) || lines.size() != 2 ||
        !MinisignText::After(lines[0], kCommentPrefix, comment)) {
        error = "not a minisign public key (an untrusted comment line and a key line)";
        return std::nullopt;
    }
    std::uint8_t bytes[kEncodedBytes];
    if (!MinisignText::Decode(lines[1], bytes, sizeof bytes)) {
        error = "the key line is not the base64 of a minisign public key";
        return std::nullopt;
    }
    if (bytes[0] != 'E' || bytes[1] != 'd') {
        error = "not an Ed25519 key";
        return std::nullopt;
    }
    MinisignPublicKey key;
    std::copy(bytes + 2, bytes + 10, key.id.begin());
    std::copy(bytes + 10, bytes + kEncodedBytes, key.key.begin());
    return key;
}

std::string MinisignPublicKey::IdText(const KeyId& id) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = id.size(); i-- > 0;) {
        text += kDigits[id[i] >> 4];
        text += kDigits[id[i] & 0x0F];
    }
    // Without leading zeros, as minisign writes it into the key's comment.
    const std::size_t first = text.find_first_not_of('0');
    return first == std::string::npos ? "0" : text.substr(first);
}
