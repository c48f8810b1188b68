// A trusted key file: any bytes as a minisign public key, read by the key
// parser and by the key store from a directory. A key file adds one key or
// is named as a problem, never both and never more.

#include <sodium.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "fuzz/FuzzScratch.h"
#include "package/MinisignPublicKey.h"
#include "package/TrustedKeys.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const auto key = MinisignPublicKey::Parse(text, error);
    if (key) {
        const std::string id = MinisignPublicKey::IdText(key->id);
        if (id.empty() || id.size() > 16 || (id.size() > 1 && id[0] == '0') ||
            id.find_first_not_of("0123456789ABCDEF") != std::string::npos) {
            fuzzsupport::Violation("a key id is not minisign's hexadecimal", id);
        }
        // The key written again as minisign writes it reads back as itself.
        std::vector<unsigned char> bytes{'E', 'd'};
        bytes.insert(bytes.end(), key->id.begin(), key->id.end());
        bytes.insert(bytes.end(), key->key.begin(), key->key.end());
        std::string line(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL),
                         '\0');
        sodium_bin2base64(line.data(), line.size(), bytes.data(), bytes.size(),
                          sodium_base64_VARIANT_ORIGINAL);
        const auto again = MinisignPublicKey::Parse(
            "untrusted comment: minisign public key " + id + "\n" + line.c_str() + "\n", error);
        if (!again || again->id != key->id || again->key != key->key) {
            fuzzsupport::Violation("a key does not read back as itself", id);
        }
    } else if (error.empty()) {
        fuzzsupport::Violation("a refused key without a reason");
    }

    const std::string dir = fuzzsupport::ScratchDir() + "/trusted-keys/";
    fuzzsupport::RemoveTree(dir);
    if (::mkdir(dir.c_str(), 0700) != 0) {
        fuzzsupport::Violation("cannot make the key directory", dir);
    }
    fuzzsupport::WriteInput(dir + "maker.pub", data, size);
    TrustedKeys keys;
    std::vector<std::string> problems;
    keys.AddDirectory(dir, problems);
    if (keys.Size() != (key ? 1u : 0u) || problems.size() != (key ? 0u : 1u)) {
        fuzzsupport::Violation("the key store disagrees with the key parser");
    }
    if (key && keys.WithId(key->id).size() != 1) {
        fuzzsupport::Violation("a stored key is not found by its id");
    }
    return 0;
}
