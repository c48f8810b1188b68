#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "package/MinisignPublicKey.h"

// The public keys whose signatures make a package trusted: minisign public
// key files ("*.pub") in the trusted-keys directories. A file that is not a
// key, or that others than its owner may change, adds nothing and is named
// as a problem; the keys of the other files count.
class TrustedKeys {
  public:
    // More key files than this in one directory are not read.
    static constexpr std::size_t kMaxKeysPerDirectory = 256;

    // Adds the key of every file whose name ends in ".pub" in directory. A
    // missing directory adds nothing and is no problem. Each file that adds
    // nothing, and a directory that cannot be trusted or read, appends
    // "PATH: why" to problems.
    void AddDirectory(const std::string& directory, std::vector<std::string>& problems);
    void Add(const MinisignPublicKey& key) { keys_.push_back(key); }

    // The keys with that id (two files may hold the same id).
    std::vector<MinisignPublicKey> WithId(const MinisignPublicKey::KeyId& id) const;
    std::size_t Size() const { return keys_.size(); }

  private:
    std::vector<MinisignPublicKey> keys_;
};
