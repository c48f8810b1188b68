#pragma once

#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "package/SignaturePolicy.h"
#include "package/TrustedKeys.h"

// Where the program learns what it trusts: the system's directory
// (/etc/kestrup/) with the policy file kestrup.conf and the key directory
// trusted-keys/, and the trusted-keys/ directory beside the package
// directory (<root>/trusted-keys/ for <root>/cfg/, so the build tree and
// /opt/kestrup work alike). Both are read afresh for every use, so an
// administrator's change counts from the next upgrade on. Each problem (a
// key file that is not a key, a policy that cannot be read) is told once per
// run. Any thread.
class PackageTrust {
  public:
    using ProblemSink = std::function<void(const std::string&)>;

    static constexpr char kSystemDir[] = "/etc/kestrup/";
    static constexpr char kPolicyFile[] = "kestrup.conf";
    static constexpr char kKeysDir[] = "trusted-keys/";

    // Tests point the system's directory elsewhere while one of these
    // lives (the program itself always reads /etc/kestrup/). Not nested
    // across threads.
    class ScopedSystemDir {
      public:
        explicit ScopedSystemDir(std::string directory);
        ~ScopedSystemDir();
        ScopedSystemDir(const ScopedSystemDir&) = delete;
        ScopedSystemDir& operator=(const ScopedSystemDir&) = delete;

      private:
        std::string saved_;
    };
    // The system's directory in use, ending with "/".
    static std::string SystemDir();

    // Problems go to standard error ("kestrup: ...") until a sink is set.
    PackageTrust();
    void SetProblemSink(ProblemSink sink);

    SignaturePolicy Policy() const;
    // The keys of the system's key directory and of the one beside
    // packageDir (a directory path ending with "/"; empty: the system's
    // only).
    TrustedKeys Keys(const std::string& packageDir) const;
    // "<root>/trusted-keys/" for "<root>/cfg/"; empty for an empty path.
    static std::string KeysBesidePackages(const std::string& packageDir);

  private:
    void Tell(const std::vector<std::string>& problems) const;

    mutable std::mutex mutex_;
    ProblemSink sink_;
    mutable std::set<std::string> told_;
};
