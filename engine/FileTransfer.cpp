#include "engine/FileTransfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "engine/AppChannel.h"
#include "engine/Crc32.h"
#include "engine/MessageBoxService.h"
#include "engine/Notifications.h"
#include "engine/Protocol.h"
#include "engine/UpgradeWorker.h"
#include "platform/LittleEndian.h"
#include "platform/TimeFacility.h"
#include "platform/WindowMessages.h"
#include "usb/CUsbPipe.h"
#include "usb/UsbTransferChannel.h"

namespace kestrup {

char g_szCurrentFile[260];

namespace {

// A status for "the channel cannot be used": no channel registered or no pipes.
constexpr std::uint32_t kNoChannel = 0xE0001102;
// The write was not made: the stop had been requested.
constexpr std::uint32_t kStopped = 0xE0001103;

// The whole file is held here while its checksum is computed; only the upgrade
// worker uses it, one file at a time.
std::uint8_t s_checksumBuffer[kChecksumBufferSize];

class OpenFile {
  public:
    explicit OpenFile(int fd) : fd_(fd) {}
    ~OpenFile() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    int fd() const { return fd_; }

  private:
    int fd_;
};

// Reads up to size bytes; returns the count, or -1 when the read fails.
long ReadUpTo(int fd, std::uint8_t* data, std::size_t size) {
    std::size_t total = 0;
    while (total < size) {
        const ssize_t n = ::read(fd, data + total, size - total);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            break;
        }
        total += static_cast<std::size_t>(n);
    }
    return static_cast<long>(total);
}

void Notify(platform::MessageWindow* window, std::int32_t wParam, platform::LPARAM lParam) {
    platform::WindowMessages::Send(window, WM_UPGRADE_PROGRESS, ProgressWParam(wParam), lParam);
}

void NotifyStatus(platform::MessageWindow* window, std::int32_t status) {
    Notify(window, PROGRESS_STATUS, status);
}

// A frame: nothing is written once the stop was requested (kStopped).
std::uint32_t Write(const std::uint8_t* data, std::uint32_t& length, std::uint32_t timeoutMs) {
    UsbTransferChannel* channel = AppChannel::Get();
    if (channel == nullptr || channel->OutPipe() == nullptr) {
        length = 0;
        return kNoChannel;
    }
    if (!BeginFrame()) {
        length = 0;
        return kStopped;
    }
    return channel->Send(data, length, timeoutMs);
}

std::uint32_t WriteRest(const std::uint8_t* data, std::uint32_t& length, std::uint32_t timeoutMs) {
    UsbTransferChannel* channel = AppChannel::Get();
    if (channel == nullptr || channel->OutPipe() == nullptr) {
        length = 0;
        return kNoChannel;
    }
    if (!ContinueFrame()) {
        length = 0;
        return kStopped;
    }
    return channel->OutPipe()->WriteSync(data, length, timeoutMs);
}

std::uint32_t Read(std::uint8_t* data, std::uint32_t& length, std::uint32_t timeoutMs) {
    UsbTransferChannel* channel = AppChannel::Get();
    if (channel == nullptr || channel->InPipe() == nullptr) {
        length = 0;
        return kNoChannel;
    }
    const std::uint32_t status = channel->InPipe()->ReadSync(data, length, timeoutMs);
    AnswerRead();
    return status;
}

// The status as the frame receives it: the answer byte widened with its sign.
std::int32_t Widened(std::uint8_t answer) {
    return static_cast<std::int32_t>(static_cast<std::int8_t>(answer));
}

// Whether a file of the run under way has failed (worker thread only).
bool s_runHadFailure = false;

// A failed file's box; the run remembers the failure.
void FailureBox(const std::string& text) {
    s_runHadFailure = true;
    ShowMessageBox(text);
}

// Header, data and flash failures: report the answer (as a status that never
// reads as progress or success, naming the same byte as the box) and show
// the box.
void Fail(platform::MessageWindow* notify, std::uint8_t answer) {
    std::string text;
    FormatResultText(text, Widened(answer));
    NotifyStatus(notify, FailureStatusOf(answer));
    FailureBox(text);
}

}  // namespace

void ForgetFailedFiles() {
    s_runHadFailure = false;
}

void RecordFailedFile() {
    s_runHadFailure = true;
}

void FormatResultText(std::string& text, std::int32_t status) {
    const auto code = static_cast<std::int8_t>(status & 0xFF);
    switch (code) {
        case OP_PACKET_ERROR:
            text = "Packet Error\n";
            return;
        case OP_FILE_SIZE_FAIL:
            text = "file size fail\n";
            return;
        case OP_CRC_FAIL:
            text = "CRC fail\n";
            return;
        case OP_FLASH_ERASE_FAIL:
            text = "flash erase fail\n";
            return;
        case OP_FLASH_WRITE_FAIL:
            text = "write to flash fail\n";
            return;
        default: {
            char buffer[64];
            std::snprintf(buffer, sizeof buffer, "unknown error; opcode is 0x%X\n",
                          static_cast<unsigned>(static_cast<std::int32_t>(code)));
            text = buffer;
        }
    }
}

CrcResult ComputeFileCrc(int fd, std::uint32_t announced, std::uint32_t& crc) {
    std::memset(s_checksumBuffer, 0, sizeof s_checksumBuffer);
    crc = Crc32::kInitial;
    if (announced > kChecksumBufferSize) {
        FailureBox("file size exceeds expectations!!! Abort!");
        return CrcResult::OverLimit;
    }
    if (::lseek(fd, 0, SEEK_SET) != 0 || ReadUpTo(fd, s_checksumBuffer, announced) < 0) {
        return CrcResult::ReadFailed;
    }
    crc = ~Crc32::Update(crc, s_checksumBuffer, announced);
    return CrcResult::Ok;
}

void SendFile(const char* path, platform::MessageWindow* notify, bool withChecksum) {
    if (RunStopRequested()) {
        return;
    }
    // Only regular files are sent; a directory, a link, a FIFO or a device
    // is skipped quietly without being opened (opening a FIFO would wait
    // for a writer for good). The open itself follows no link and does not
    // block, in case the entry changed in between.
    struct stat st {};
    if (::lstat(path, &st) != 0 || !S_ISREG(st.st_mode)) {
        return;
    }
    const char* slash = std::strrchr(path, '/');
    const char* name = slash != nullptr ? slash + 1 : path;
    // A staged file that cannot be read is not sent, and the operator is told:
    // passed over in silence, the run would end as if the package had gone
    // whole.
    const auto notRead = [name] {
        FailureBox(std::string(name) + ": the file could not be read; it was not sent\n");
    };
    OpenFile file(::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.fd() < 0 || ::fstat(file.fd(), &st) != 0 || !S_ISREG(st.st_mode)) {
        notRead();
        return;
    }

    // The header's name field holds 42 characters and a terminating zero; a
    // longer name is refused rather than shortened, since the instrument would
    // store the image under a wrong name.
    const std::size_t nameLength = std::strlen(name);
    if (nameLength > kMaxHeaderName) {
        FailureBox(std::string(name) + ": file name too long for the instrument (" +
                   std::to_string(nameLength) + " characters, at most 42)\n");
        return;
    }
    const auto length = static_cast<std::uint64_t>(st.st_size);
    const std::uint64_t announced = AnnouncedSize(length);

    std::uint32_t crc = 0;
    if (withChecksum) {
        switch (ComputeFileCrc(
            file.fd(), static_cast<std::uint32_t>(std::min<std::uint64_t>(announced, 0xFFFFFFFFu)),
            crc)) {
            case CrcResult::Ok:
                break;
            case CrcResult::OverLimit:  // the box has been shown
                return;
            case CrcResult::ReadFailed:
                notRead();
                return;
        }
    }
    // The header announces the size in 32 bits.
    if (announced > 0xFFFFFFFFu) {
        FailureBox(std::string(name) + ": file too large for the instrument\n");
        return;
    }

    std::uint8_t header[kHeaderFrameSize] = {};
    header[0] = OP_FILE_HEADER;
    std::memcpy(header + kHeaderNameOffset, name, nameLength + 1);
    platform::le::Put32(header + kHeaderSizeOffset, static_cast<std::uint32_t>(announced));
    platform::le::Put32(header + kHeaderCrcOffset, crc);
    std::memcpy(g_szCurrentFile, name, nameLength + 1);

    const platform::LPARAM units =
        static_cast<platform::LPARAM>(length >= kDataChunk ? length / kDataChunk : length);
    Notify(notify, PROGRESS_START, units);

    std::uint8_t frame[kDataFrameSize];
    std::memset(frame, 0, sizeof frame);
    std::uint32_t written = kHeaderFrameSize;
    if (Write(header, written, kHeaderWriteTimeoutMs) == kStopped) {
        Notify(notify, PROGRESS_END, 0);
        return;
    }
    std::uint32_t answerLength = written;
    const std::uint32_t headerStatus = Read(frame, answerLength, kAnswerReadTimeoutMs);
    if (headerStatus != 0 || answerLength == 0 || frame[0] != OP_ACK) {
        // A refused or unanswered header is a failed file like any other:
        // its answer (0 when none came) and its box, or the run's end would
        // read as a complete upgrade with this file missing. No pause. Once
        // the stop was requested, whatever the read brought is not reported:
        // it may have come after the stop.
        if (!RunStopRequested()) {
            Fail(notify, headerStatus == 0 && answerLength != 0 ? frame[0] : 0);
        }
        Notify(notify, PROGRESS_END, 0);
        return;
    }

    // From here on the instrument expects the file's data: a file that
    // cannot be read ends its progress and is named in a box, and the run
    // goes on with the next file.
    const auto unreadable = [&] {
        Notify(notify, PROGRESS_END, 0);
        FailureBox(std::string(name) + ": the file could not be read; it was not sent\n");
        platform::TimeFacility::Sleep(kPauseAfterFileMs, "pause after file");
    };
    if (::lseek(file.fd(), 0, SEEK_SET) != 0) {
        unreadable();
        return;
    }
    double bytesRead = 0;
    const auto fileLength = static_cast<double>(length);
    std::int32_t percentage = 0;
    bool confirmed = false;  // the instrument answered "file OK"
    while (true) {
        if (RunStopRequested()) {
            Notify(notify, PROGRESS_END, 0);
            return;
        }
        std::memset(frame, 0, sizeof frame);
        const long n = ReadUpTo(file.fd(), frame + 1, kDataChunk);
        if (n < 0) {
            unreadable();
            return;
        }
        bytesRead += static_cast<double>(n);
        if (length == 0) {
            percentage = -1;
        } else if (static_cast<std::uint32_t>(bytesRead) >= length) {
            percentage = 100;
        } else {
            percentage = static_cast<std::int32_t>(bytesRead / fileLength * 100.0);
        }
        frame[0] = OP_FILE_DATA;
        const auto frameLength =
            static_cast<std::uint32_t>(DataFrameLength(static_cast<std::size_t>(n)));

        std::uint32_t firstWritten = frameLength;
        std::uint32_t writeStatus = Write(frame, firstWritten, kDataWriteTimeoutMs);
        if (writeStatus != kStopped && firstWritten < frameLength) {
            std::uint32_t rest = frameLength - firstWritten;
            writeStatus = WriteRest(frame + firstWritten, rest, kDataWriteTimeoutMs);
        }
        if (writeStatus == kStopped) {
            Notify(notify, PROGRESS_END, 0);
            return;
        }

        std::uint32_t one = 1;
        const std::uint32_t status = Read(frame, one, kAnswerReadTimeoutMs);
        const bool failed = status != 0 || (frame[0] != OP_ACK && frame[0] != OP_FILE_OK);
        if (failed && RunStopRequested()) {
            // Cancelled by the close, or an answer that may have come after
            // the stop: nothing to report.
            Notify(notify, PROGRESS_END, 0);
            return;
        }
        if (failed) {
            Fail(notify, frame[0]);
            platform::TimeFacility::Sleep(kPauseAfterFileMs, "pause after file");
            return;
        }
        // Whether more frames follow depends on the frame just sent, not on
        // how much of it the first write managed to move: a frame of 8191
        // bytes or more is followed by another one.
        const bool last = frameLength < kDataChunk;
        if (last && !confirmed && frame[0] != OP_FILE_OK) {
            // The whole file went and the instrument never said it holds
            // it: the file was not confirmed, which is a failure like any
            // other unexpected answer (unless the stop came: it may have been
            // read after it).
            if (RunStopRequested()) {
                Notify(notify, PROGRESS_END, 0);
                return;
            }
            Fail(notify, frame[0]);
            platform::TimeFacility::Sleep(kPauseAfterFileMs, "pause after file");
            return;
        }
        if (frame[0] == OP_FILE_OK) {
            confirmed = true;
            NotifyStatus(notify, OP_FILE_OK);
        }
        Notify(notify, percentage, 0);
        if (last) {
            break;
        }
    }

    const bool application = std::strstr(name, ".bin") != nullptr;
    const bool image = application || std::strstr(name, ".boot") != nullptr;
    if (image) {
        Notify(notify, percentage + 1, 0);
        NotifyStatus(notify, STATUS_FLASHING);
        // Only an answer that actually arrives counts: the byte is cleared so
        // that a failed or empty read is never taken for the last data answer.
        frame[0] = 0;
        std::uint32_t one = 1;
        const std::uint32_t status = Read(frame, one, kFlashReadTimeoutMs);
        if (status == 0 && one >= 1 && frame[0] == OP_FILE_OK) {
            // The upgrade is complete only when no file of the run failed;
            // otherwise the last word is this file's own success.
            NotifyStatus(notify,
                         application && !s_runHadFailure ? STATUS_UPGRADE_DONE : OP_FILE_OK);
        } else if (RunStopRequested()) {
            // Cancelled by the close, or a failure that may have been read
            // after the stop: nothing to report.
            Notify(notify, PROGRESS_END, 0);
            return;
        } else {
            Fail(notify, status == 0 && one >= 1 ? frame[0] : 0);
        }
    }
    if (!RunStopRequested()) {
        platform::TimeFacility::Sleep(kPauseAfterFileMs, "pause after file");
    }
}

}  // namespace kestrup
