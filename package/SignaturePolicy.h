#pragma once

#include <string>
#include <vector>

// The system's rule for unsigned packages, from the configuration file
// kestrup.conf (an INI file read like a package descriptor):
//
//   [Packages]
//   RequireSignature=no
//
// "no" (the default, also without the file) lets an unsigned package be
// installed; "yes" refuses it. A package whose signature does not verify is
// refused either way. The policy fails closed: a file that is there but
// cannot be read, or a value that is neither yes nor no, requires
// signatures, and says so as a problem.
class SignaturePolicy {
  public:
    static constexpr char kSection[] = "Packages";
    static constexpr char kRequireKey[] = "RequireSignature";

    // Reads the policy from the file at path; problems receive "PATH: why".
    static SignaturePolicy Read(const std::string& path, std::vector<std::string>& problems);

    bool requireSignature = false;
};
