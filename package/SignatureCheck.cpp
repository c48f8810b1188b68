#include "package/SignatureCheck.h"

#include "platform/TextEscape.h"

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
    return platform::TextEscape::ForTerminal(text);
}
