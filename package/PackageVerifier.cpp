#include "package/PackageVerifier.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "package/MinisignSignature.h"
#include "platform/FileSystem.h"

namespace {

constexpr std::size_t kReadChunk = 256 * 1024;

bool SodiumReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

// Opens a regular file for reading without blocking (a FIFO in its place is
// refused, never waited on). -1 with errno set otherwise.
int OpenRegular(const std::string& path, off_t& size) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    size = st.st_size;
    return fd;
}

// Feeds every byte of the file to consume, chunk by chunk; false when the
// file cannot be read to its end.
template <typename Consume>
bool ReadChunks(int fd, Consume consume) {
    std::vector<unsigned char> buffer(kReadChunk);
    while (true) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            return true;
        }
        if (!consume(buffer.data(), static_cast<std::size_t>(n))) {
            return false;
        }
    }
}

// The message the signature is over: the BLAKE2b-512 hash of the package,
// or for the legacy form the package itself. False with the reason.
bool SignedMessage(const std::string& packagePath, MinisignSignature::Algorithm algorithm,
                   std::vector<unsigned char>& message, std::string& error) {
    off_t size = 0;
    const int fd = OpenRegular(packagePath, size);
    if (fd < 0) {
        error = std::string("the package cannot be read: ") + std::strerror(errno);
        return false;
    }
    bool ok = false;
    if (algorithm == MinisignSignature::Algorithm::Prehashed) {
        crypto_generichash_state state;
        message.assign(crypto_generichash_BYTES_MAX, 0);
        ok = crypto_generichash_init(&state, nullptr, 0, message.size()) == 0 &&
             ReadChunks(fd,
                        [&](const unsigned char* bytes, std::size_t n) {
                            return crypto_generichash_update(&state, bytes, n) == 0;
                        }) &&
             crypto_generichash_final(&state, message.data(), message.size()) == 0;
        if (!ok) {
            error = "the package cannot be read";
        }
    } else if (static_cast<std::uint64_t>(size) > PackageVerifier::kMaxLegacyBytes) {
        error = "a legacy signature on a package larger than " +
                std::to_string(PackageVerifier::kMaxLegacyBytes >> 20) +
                " MiB (sign it with minisign's default, prehashed form)";
    } else {
        message.clear();
        message.reserve(static_cast<std::size_t>(size));
        ok = ReadChunks(fd, [&](const unsigned char* bytes, std::size_t n) {
            if (message.size() + n > PackageVerifier::kMaxLegacyBytes) {
                return false;  // it grew while it was read
            }
            message.insert(message.end(), bytes, bytes + n);
            return true;
        });
        if (!ok) {
            error = "the package cannot be read";
        }
    }
    ::close(fd);
    return ok;
}

}  // namespace

std::string PackageVerifier::SignaturePath(const std::string& packagePath) {
    return packagePath + ".minisig";
}

PackageVerifier::SignatureFile PackageVerifier::ReadSignature(const std::string& packagePath) {
    SignatureFile file;
    const std::string path = SignaturePath(packagePath);
    off_t size = 0;
    const int fd = OpenRegular(path, size);
    if (fd < 0) {
        if (errno != ENOENT) {
            file.kind = SignatureFile::Kind::Unreadable;
            file.error = errno == EINVAL ? "not a regular file" : std::strerror(errno);
        }
        return file;
    }
    ::close(fd);
    file.kind = SignatureFile::Kind::Present;
    if (!platform::FileSystem::ReadAll(path, file.text, MinisignSignature::kMaxFileBytes)) {
        file.kind = SignatureFile::Kind::Unreadable;
        file.error = "larger than a signature file, or unreadable";
        file.text.clear();
    }
    return file;
}

SignatureCheck PackageVerifier::Check(const std::string& packagePath, const TrustedKeys& keys) {
    return Check(packagePath, ReadSignature(packagePath), keys);
}

SignatureCheck PackageVerifier::Check(const std::string& packagePath,
                                      const SignatureFile& signatureFile, const TrustedKeys& keys) {
    SignatureCheck check;
    if (signatureFile.kind == SignatureFile::Kind::Absent) {
        return check;
    }
    check.state = SignatureCheck::State::BadSignature;
    if (signatureFile.kind == SignatureFile::Kind::Unreadable) {
        check.detail = "the signature file cannot be read: " + signatureFile.error;
        return check;
    }
    const auto signature = MinisignSignature::Parse(signatureFile.text, check.detail);
    if (!signature) {
        return check;
    }
    check.keyId = MinisignPublicKey::IdText(signature->keyId);
    const std::vector<MinisignPublicKey> candidates = keys.WithId(signature->keyId);
    if (candidates.empty()) {
        check.state = SignatureCheck::State::UntrustedKey;
        check.detail = "key " + check.keyId + " is not among the trusted keys";
        return check;
    }
    if (!SodiumReady()) {
        check.detail = "the signature library cannot start";
        return check;
    }
    std::vector<unsigned char> message;
    if (!SignedMessage(packagePath, signature->algorithm, message, check.detail)) {
        return check;
    }
    // The trusted comment is covered by the global signature, over the
    // signature and the comment's text.
    std::vector<unsigned char> global(signature->signature.begin(), signature->signature.end());
    global.insert(global.end(), signature->trustedComment.begin(), signature->trustedComment.end());
    check.detail = "the signature does not match the package";
    for (const MinisignPublicKey& key : candidates) {
        if (crypto_sign_verify_detached(signature->signature.data(), message.data(), message.size(),
                                        key.key.data()) != 0) {
            continue;
        }
        if (crypto_sign_verify_detached(signature->globalSignature.data(), global.data(),
                                        global.size(), key.key.data()) != 0) {
            check.detail = "the trusted comment was altered";
            continue;
        }
        check.state = SignatureCheck::State::Verified;
        check.trustedComment = signature->trustedComment;
        check.detail.clear();
        return check;
    }
    return check;
}
