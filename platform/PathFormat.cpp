#include "platform/PathFormat.h"

#include <cstdarg>
#include <cstdio>

namespace platform {

bool PathFormat::Into(char* buffer, std::size_t size, const char* format, ...) {
    if (buffer == nullptr || size == 0) {
        return false;
    }
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, size, format, args);
    va_end(args);
    if (n < 0 || static_cast<std::size_t>(n) >= size) {
        buffer[0] = '\0';
        return false;
    }
    return true;
}

}  // namespace platform
