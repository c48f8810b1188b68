#pragma once

#include <string>

namespace platform {

// An exclusive lock on a directory for as long as the object lives, so that
// two copies of the program never work in the same temporary and staging
// directories. The lock goes with the process, also when it ends abruptly.
class InstanceLock {
  public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Takes the lock on an existing directory (a symbolic link is refused)
    // without waiting. False when another holder has it or the directory
    // cannot be opened or locked; `held` then tells the first case apart,
    // and `why` (when given) says what went wrong in the others. A shared
    // lock goes with other shared ones and keeps out an exclusive one.
    bool Acquire(const std::string& directory, bool& held, bool shared = false,
                 std::string* why = nullptr);
    // The directory the lock is on (its descriptor), -1 without a lock.
    int Descriptor() const { return fd_; }
    void Release();

  private:
    int fd_ = -1;
};

}  // namespace platform
