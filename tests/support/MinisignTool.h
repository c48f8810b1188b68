#pragma once

#include <string>

namespace testsupport {

// Keys and signatures made by the real minisign tool (found when the build
// was configured), so that the program's checks meet what makers really
// ship. Tests that need it skip with Missing() as the reason where it is
// not installed.
class MinisignTool {
  public:
    static bool Available();
    static std::string Missing() { return "minisign is not installed (apt-get install minisign)"; }

    // A key pair without a password: secretPath and publicPath.
    static bool MakeKey(const std::string& secretPath, const std::string& publicPath);
    // Signs file into file.minisig (or signaturePath when given), prehashed
    // or in the legacy form.
    static bool Sign(const std::string& secretPath, const std::string& file,
                     const std::string& trustedComment, bool legacy = false,
                     const std::string& signaturePath = {});
    // minisign's own verdict on a signature (for checking the checks).
    static bool Verify(const std::string& publicPath, const std::string& file);
};

}  // namespace testsupport
