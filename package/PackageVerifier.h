#pragma once

#include <cstddef>
#include <string>

#include "package/SignatureCheck.h"
#include "package/TrustedKeys.h"

// Checks a package against the minisign signature file beside it
// (NAME.pcg.minisig) and the trusted keys: the signature must be by a
// trusted key, match the package's bytes, and its global signature must
// cover the trusted comment. Both the prehashed ("ED", BLAKE2b-512) and the
// legacy ("Ed", the whole file) form are checked, with libsodium. Any
// thread; nothing is written.
class PackageVerifier {
  public:
    // A legacy signature is over the whole file, which is read into memory
    // for it; larger packages need minisign's default, prehashed form.
    static constexpr std::size_t kMaxLegacyBytes = 64 * 1024 * 1024;

    // The signature file as found beside a package.
    struct SignatureFile {
        enum class Kind { Absent, Present, Unreadable };
        Kind kind = Kind::Absent;
        std::string text;   // Present: the whole file
        std::string error;  // Unreadable: why
    };

    // "<packagePath>.minisig".
    static std::string SignaturePath(const std::string& packagePath);
    // Reads the signature file beside a package: a regular file of at most
    // MinisignSignature::kMaxFileBytes, opened without blocking.
    static SignatureFile ReadSignature(const std::string& packagePath);

    // Checks the bytes now at packagePath against a signature file already
    // read (so that a package copied elsewhere is checked against the
    // signature of the original).
    static SignatureCheck Check(const std::string& packagePath, const SignatureFile& signature,
                                const TrustedKeys& keys);
    // Reads the signature beside the package and checks.
    static SignatureCheck Check(const std::string& packagePath, const TrustedKeys& keys);
};
