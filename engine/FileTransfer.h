#pragma once

#include <cstdint>
#include <string>

namespace platform {
class MessageWindow;
}

namespace kestrup {

// The name (without directory) of the file being sent. Written by SendFile
// on the upgrade worker before the file's first notification; read by the
// frame's status texts while it handles those notifications.
extern char g_szCurrentFile[260];

enum class CrcResult { Ok, OverLimit, ReadFailed };

// Sends one staged file to the instrument through the application's transfer
// channel: header with announced size and checksum, data frames of up to
// 8191 bytes, one-byte answers, and for a boot or application image (a name
// containing ".bin" or ".boot") the flash wait. Reports through
// WM_UPGRADE_PROGRESS sent to `notify` and through message boxes. Runs on the
// upgrade worker thread; blocks for at most the protocol's time-outs.
//
// Files that the instrument cannot be told about are refused before anything
// is sent: a name longer than 42 characters, a length of 4 GiB or more, and
// (with a checksum) more than 1,310,720 announced bytes each get a message box.
// Anything that is not a regular file is skipped quietly. A header that is
// refused or not answered reports the answer (0 when none came) with its
// message box, like a failed data frame, and ends the progress without a pause. A file that cannot
// be read once its header was accepted ends its progress (PROGRESS_END) and
// gets a message box naming it. After RequestRunStop it begins no frame and
// reports no failure, whatever a read brings (the answer may have come after
// the stop).
//
// One status, one story: an answer byte that the frame shows as a status of
// its own (8, 13 to 16, 18, 88) reaches it as FailureStatusOf(byte) wherever it
// is a failure, so the status bar names the same byte as the box; a file whose
// data frames never brought "file OK" (its last frame answered 4) fails like
// any other unexpected answer; and once a file of the run has failed, the
// application image's successful flash is reported as that file's status 8,
// never as the completed upgrade (88).
void SendFile(const char* path, platform::MessageWindow* notify, bool withChecksum);

// The failures of the run under way: the worker forgets them when a run
// begins; every failed file (and a file the worker leaves out) is recorded.
// Worker thread.
void ForgetFailedFiles();
void RecordFailedFile();

// Computes the CRC-32 of the first `announced` bytes of the open file `fd`
// (read from its start) with zeros after the file's end, in the static
// 1,310,720-byte checksum buffer. OverLimit (after the message box "file size
// exceeds expectations!!! Abort!") when the announced size is larger than
// the buffer.
CrcResult ComputeFileCrc(int fd, std::uint32_t announced, std::uint32_t& crc);

// The message-box text for an instrument status; only its low byte counts,
// taken as a signed 8-bit value.
void FormatResultText(std::string& text, std::int32_t status);

}  // namespace kestrup
