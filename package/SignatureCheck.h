#pragma once

#include <string>
#include <string_view>

// What the check of one package's signature found, and what it means for
// installing the package.
struct SignatureCheck {
    enum class State {
        Unsigned,      // no signature file beside the package
        Verified,      // signed by a trusted key; the package and the trusted comment are intact
        BadSignature,  // a signature file that is damaged or does not match the package
        UntrustedKey,  // a signature by a key that is not among the trusted keys
    };

    State state = State::Unsigned;
    // The signature's key id as minisign prints it; empty when no signature
    // could be read.
    std::string keyId;
    // The trusted comment; only for a verified signature.
    std::string trustedComment;
    // Why a signature does not verify, in a few words.
    std::string detail;
    // Whether the policy required a signature when the package was checked.
    bool signatureRequired = false;

    // Whether the package may be sent: verified, or unsigned while the
    // policy lets unsigned packages through.
    bool Usable() const;
    // The word of the package listing: "signed:KEYID", "unsigned" or
    // "bad-signature" (an untrusted key included).
    std::string ListWord() const;
    // The state as the report and the history give it: "signed", "unsigned",
    // "bad-signature" or "untrusted-key".
    const char* StateName() const;
    // Why a package that is not Usable is refused, to follow "The package
    // NAME ": "is not signed", "has a signature that does not verify" or "is
    // signed by a key that is not trusted". Empty for a usable package.
    const char* RefusalPhrase() const;
    // The state in a sentence for the operator, e.g. "Signed by key X and
    // verified." (outside text made printable).
    std::string Sentence() const;
    // The sentence, and for a verified signature " Trusted comment: ..."
    // (made printable).
    std::string Summary() const;

    // Outside text made safe for a terminal, a log line or a tab-separated
    // listing, by the one rule of every text output (platform::TextEscape):
    // backslash, control characters and bytes that are not UTF-8 are written
    // as escapes ("\\", "\t", "\n", "\r", "\xNN").
    static std::string Printable(std::string_view text);
};
