#pragma once

#include <cstdint>

// The scalar types and message numbers that window and thread messages carry.
// wParam and lParam are pointer-sized so that signed values (-16, -2, -1) and
// full 32-bit codes travel unchanged; receivers narrow them as the message
// defines.
namespace platform {

using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

// Time-out value that waits without limit.
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

inline constexpr std::uint32_t WM_NULL = 0x0000;
inline constexpr std::uint32_t WM_CLOSE = 0x0010;
inline constexpr std::uint32_t WM_QUIT = 0x0012;
inline constexpr std::uint32_t WM_COMMAND = 0x0111;
inline constexpr std::uint32_t WM_USER = 0x0400;

// Thread identifiers are small positive numbers given out by the platform
// layer (see Thread::CurrentId); 0 is never a valid thread.
using ThreadId = std::uint32_t;

}  // namespace platform
