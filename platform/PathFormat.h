#pragma once

#include <cstddef>

namespace platform {

// printf-style formatting into a fixed character buffer that refuses to
// truncate: returns true only when the whole text fit (terminating zero
// included). On failure the buffer holds an empty string, never a shortened
// path. Any thread.
class PathFormat {
  public:
    [[gnu::format(printf, 3, 4)]] static bool Into(char* buffer, std::size_t size,
                                                   const char* format, ...);

    template <std::size_t N>
    static bool Copy(char (&buffer)[N], const char* text) {
        return Into(buffer, N, "%s", text);
    }
};

}  // namespace platform
