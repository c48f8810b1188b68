#include "platform/usbio/libusb/DeviceNodeLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace platform::usbio {

DeviceNodeLock::~DeviceNodeLock() {
    Release();
}

DeviceNodeLock::Result DeviceNodeLock::Take(const std::string& node) {
    if (fd_ >= 0) {
        return Result::Taken;
    }
    // Opening a usbfs node claims nothing; the descriptor only carries the
    // lock.
    const int fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return Result::Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return error == EWOULDBLOCK ? Result::Held : Result::Failed;
    }
    fd_ = fd;
    return Result::Taken;
}

DeviceNodeLock& DeviceNodeLock::operator=(DeviceNodeLock&& other) noexcept {
    if (this != &other) {
        Release();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

void DeviceNodeLock::Release() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace platform::usbio
