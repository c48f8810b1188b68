#include "tests/support/MinisignTool.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

extern char** environ;

namespace testsupport {
namespace {

// Runs minisign with arguments, its output out of the way; true on exit 0.
bool Run(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), KESTRUP_MINISIGN_PROGRAM);
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return false;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

bool MinisignTool::Available() {
    return KESTRUP_MINISIGN_PROGRAM[0] != '\0' && ::access(KESTRUP_MINISIGN_PROGRAM, X_OK) == 0;
}

bool MinisignTool::MakeKey(const std::string& secretPath, const std::string& publicPath) {
    ::unlink(secretPath.c_str());
    ::unlink(publicPath.c_str());
    return Run({"-G", "-W", "-s", secretPath, "-p", publicPath});
}

bool MinisignTool::Sign(const std::string& secretPath, const std::string& file,
                        const std::string& trustedComment, bool legacy,
                        const std::string& signaturePath) {
    std::vector<std::string> arguments{"-S", "-s", secretPath, "-m", file, "-t", trustedComment};
    if (legacy) {
        arguments.push_back("-l");
    }
    if (!signaturePath.empty()) {
        arguments.insert(arguments.end(), {"-x", signaturePath});
    }
    return Run(arguments);
}

bool MinisignTool::Verify(const std::string& publicPath, const std::string& file) {
    return Run({"-V", "-q", "-p", publicPath, "-m", file});
}

}  // namespace testsupport
