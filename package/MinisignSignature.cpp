#include "package/MinisignSignature.h"

#include <algorithm>
#include <vector>

#include "package/MinisignText.h"

namespace {
constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";
constexpr std::size_t kEncodedBytes = 2 + 8 + 64;
}  // namespace

std::optional<MinisignSignature> MinisignSignature::Parse(std::string_view text,
                                                          std::string& error) {
    std::vector<std::string_view> lines;
    std::string_view rest;
    if (text.size() > kMaxFileBytes) {
        error = "longer than a signature file";
        return std::nullopt;
    }
    if (!MinisignText::Lines(text, lines) || lines.size() != 4 ||
        !MinisignText::After(lines[0], kUntrustedPrefix, rest)) {
        error =
            "not a minisign signature (four lines: untrusted comment, signature, trusted "
            "comment, global signature)";
        return std::nullopt;
    }
    std::uint8_t bytes[kEncodedBytes];
    if (!MinisignText::Decode(lines[1], bytes, sizeof bytes)) {
        error = "the signature line is not the base64 of a minisign signature";
        return std::nullopt;
    }
    MinisignSignature signature;
    if (bytes[0] == 'E' && bytes[1] == 'D') {
        signature.algorithm = Algorithm::Prehashed;
    } else if (bytes[0] == 'E' && bytes[1] == 'd') {
        signature.algorithm = Algorithm::Legacy;
    } else {
        error = "an unknown signature algorithm";
        return std::nullopt;
    }
    std::copy(bytes + 2, bytes + 10, signature.keyId.begin());
    std::copy(bytes + 10, bytes + kEncodedBytes, signature.signature.begin());
    if (!MinisignText::After(lines[2], kTrustedPrefix, rest)) {
        error = "the third line is not a trusted comment";
        return std::nullopt;
    }
    signature.trustedComment.assign(rest);
    if (!MinisignText::Decode(lines[3], signature.globalSignature.data(),
                              signature.globalSignature.size())) {
        error = "the last line is not the base64 of a global signature";
        return std::nullopt;
    }
    return signature;
}
