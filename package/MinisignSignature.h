#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "package/MinisignPublicKey.h"

// A minisign signature file (NAME.minisig), as `minisign -S` writes it:
//
//   untrusted comment: <any text>
//   <base64 of the algorithm (2 bytes), the key id (8) and the signature (64)>
//   trusted comment: <text>
//   <base64 of the global signature (64 bytes)>
//
// The algorithm is "ED" (the signature is over the BLAKE2b-512 hash of the
// file, minisign's default) or "Ed" (over the file itself, the legacy form).
// The global signature is over the signature followed by the trusted
// comment's text, so the trusted comment cannot be changed without the
// secret key. The untrusted comment is nobody's word and is not kept.
// Nothing may follow but empty lines.
class MinisignSignature {
  public:
    enum class Algorithm { Prehashed, Legacy };

    // The four lines with room for long comments; anything longer is not a
    // signature file.
    static constexpr std::size_t kMaxFileBytes = 16 * 1024;

    // The signature, or nothing with the reason in `error`.
    static std::optional<MinisignSignature> Parse(std::string_view text, std::string& error);

    Algorithm algorithm = Algorithm::Prehashed;
    MinisignPublicKey::KeyId keyId{};
    std::array<std::uint8_t, 64> signature{};
    std::string trustedComment;
    std::array<std::uint8_t, 64> globalSignature{};
};
