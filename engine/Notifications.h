#pragma once

#include <cstdint>

#include "platform/MessageTypes.h"

// The messages by which the engine's threads report to the main frame, and the
// status codes they carry. Shared by the engine (senders) and the shell (the
// frame's handlers).
namespace kestrup {

inline constexpr std::uint32_t WM_SET_MODE_USB = platform::WM_USER + 6;      // 1030
inline constexpr std::uint32_t WM_UPGRADE_PROGRESS = platform::WM_USER + 7;  // 1031
inline constexpr std::uint32_t WM_SET_MODE_TFTP = platform::WM_USER + 10;    // 1034
inline constexpr std::uint32_t WM_MODE_PROGRESS = platform::WM_USER + 11;    // 1035

// wParam of 1031 and 1035, taken as a signed 32-bit integer; any other value is
// a percentage.
inline constexpr std::int32_t PROGRESS_START = -2;
inline constexpr std::int32_t PROGRESS_END = -1;
inline constexpr std::int32_t PROGRESS_STATUS = -16;

// Status codes (lParam of 1031 with PROGRESS_STATUS). Besides these, the
// instrument's answer bytes 5 and 8 to 12 travel as status codes.
inline constexpr std::int32_t STATUS_FLASHING = 13;
inline constexpr std::int32_t STATUS_DETECTING = 14;
inline constexpr std::int32_t STATUS_DETECT_FAILED = 15;
inline constexpr std::int32_t STATUS_DEVICE_FOUND = 16;
inline constexpr std::int32_t STATUS_RESET_FAILED = 18;
inline constexpr std::int32_t STATUS_UPGRADE_DONE = 88;

// An instrument's answer byte that would read as one of the frame's own
// statuses (file OK, flashing, detection, upgrade completed) where it is a
// failure travels as this base plus the byte: the frame then names the byte
// as an unknown answer, as the message box does.
inline constexpr std::int32_t STATUS_ANSWER_AS_FAILURE = 0x100;

// The status a failed answer is reported with.
constexpr std::int32_t FailureStatusOf(std::uint8_t answer) {
    switch (answer) {
        case 8:
        case STATUS_FLASHING:
        case STATUS_DETECTING:
        case STATUS_DETECT_FAILED:
        case STATUS_DEVICE_FOUND:
        case STATUS_RESET_FAILED:
        case STATUS_UPGRADE_DONE:
            return STATUS_ANSWER_AS_FAILURE + answer;
        default:
            return static_cast<std::int32_t>(static_cast<std::int8_t>(answer));
    }
}

// The start message that the upgrade worker receives: thread message 0
// (WM_NULL) with wParam 1030 and lParam 0.
inline constexpr std::uint32_t START_MESSAGE = platform::WM_NULL;
inline constexpr platform::WPARAM START_MESSAGE_WPARAM = 1030;

// Encodes a signed wParam value (percentage or one of the PROGRESS_ values).
constexpr platform::WPARAM ProgressWParam(std::int32_t value) {
    return static_cast<platform::WPARAM>(static_cast<platform::LPARAM>(value));
}
// Decodes wParam as the signed 32-bit value the frame compares.
constexpr std::int32_t ProgressValue(platform::WPARAM wParam) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(wParam & 0xFFFFFFFFu));
}

}  // namespace kestrup
