// A package's signature file: any bytes as NAME.pcg.minisig, read by the
// signature parser and checked against a fixed package and a fixed trusted
// key (the corpus holds signatures that key made over that package). A
// check that passes must hinge on the package's bytes, and one that fails
// must say why.

#include <string>
#include <vector>

#include "fuzz/FuzzScratch.h"
#include "package/MinisignSignature.h"
#include "package/PackageVerifier.h"
#include "package/TrustedKeys.h"

namespace {

constexpr char kPackage[] = "a package the signature fuzzer checks\n";
constexpr char kMakerKey[] =
    "untrusted comment: minisign public key AD92504B15804D06\n"
    "RWQGTYAVS1CSrarKMLwBfeH+3orb5a2VyCSfRcPj6VHhJU2poj7DSXf0\n";

const TrustedKeys& Keys() {
    static const TrustedKeys keys = [] {
        TrustedKeys made;
        std::string error;
        const auto key = MinisignPublicKey::Parse(kMakerKey, error);
        if (!key) {
            fuzzsupport::Violation("the fuzzer's own key does not parse", error);
        }
        made.Add(*key);
        return made;
    }();
    return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const auto signature = MinisignSignature::Parse(text, error);
    if (signature) {
        if (signature->trustedComment.find_first_of(std::string("\n\0", 2)) != std::string::npos) {
            fuzzsupport::Violation("a trusted comment holds a line end or a NUL");
        }
    } else if (error.empty()) {
        fuzzsupport::Violation("a refused signature without a reason");
    }

    const std::string package = fuzzsupport::ScratchDir() + "/package.pcg";
    fuzzsupport::WriteInput(package, reinterpret_cast<const std::uint8_t*>(kPackage),
                            sizeof kPackage - 1);
    fuzzsupport::WriteInput(PackageVerifier::SignaturePath(package), data, size);
    const SignatureCheck check = PackageVerifier::Check(package, Keys());
    if (check.state == SignatureCheck::State::Unsigned) {
        fuzzsupport::Violation("a signature file that is there was taken for none");
    }
    if (check.state != SignatureCheck::State::Verified) {
        if (check.detail.empty() || check.Usable() || !check.trustedComment.empty()) {
            fuzzsupport::Violation("a failed check without a reason, or usable");
        }
        return 0;
    }
    if (!signature || check.trustedComment != signature->trustedComment ||
        check.keyId != "AD92504B15804D06") {
        fuzzsupport::Violation("a verified check that the parser does not back");
    }
    // The same signature over other bytes must not pass.
    std::string altered = kPackage;
    altered[0] ^= 0x01;
    fuzzsupport::WriteInput(package, reinterpret_cast<const std::uint8_t*>(altered.data()),
                            altered.size());
    if (PackageVerifier::Check(package, Keys()).state == SignatureCheck::State::Verified) {
        fuzzsupport::Violation("a signature verified over an altered package");
    }
    return 0;
}
