#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// A minisign public key file, as `minisign -G` writes it:
//
//   untrusted comment: <any text>
//   <base64 of "Ed", the 8-byte key id and the 32-byte Ed25519 public key>
//
// The comment is nobody's word and is not kept. Nothing may follow but
// empty lines.
class MinisignPublicKey {
  public:
    using KeyId = std::array<std::uint8_t, 8>;
    using Key = std::array<std::uint8_t, 32>;

    // A key file is a few lines; anything longer is not one.
    static constexpr std::size_t kMaxFileBytes = 4096;

    // The key, or nothing with the reason in `error`.
    static std::optional<MinisignPublicKey> Parse(std::string_view text, std::string& error);

    // A key id as minisign prints it: its 8 bytes read as a little-endian
    // number, in upper-case hexadecimal without leading zeros.
    static std::string IdText(const KeyId& id);

    KeyId id{};
    Key key{};
};
