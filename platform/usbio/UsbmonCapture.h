#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>

namespace platform::usbio {

// Writes a capture file in the Linux usbmon pcap format: a pcap file
// (little-endian, magic 0xA1B2C3D4, version 2.4, link type 220 =
// LINKTYPE_USB_LINUX_MMAPPED) whose records each start with the 64-byte
// usbmon header:
//
// | Offset | Width | Field                                                   |
// |--------|-------|---------------------------------------------------------|
// | 0      | u64   | URB id, the same for a submission and its completion    |
// | 8      | u8    | event type: 'S' submission, 'C' completion              |
// | 9      | u8    | transfer type: 2 control, 3 bulk                        |
// | 10     | u8    | endpoint address, bit 7 = IN (0x80 for control IN)      |
// | 11     | u8    | device address                                          |
// | 12     | u16   | bus number                                              |
// | 14     | u8    | setup flag: 0 when bytes 40..47 hold a setup packet,    |
// |        |       | else '-'                                                |
// | 15     | u8    | data flag: 0 when data follows, '<' for an IN           |
// |        |       | submission, '>' for an OUT completion                   |
// | 16     | i64   | seconds                                                 |
// | 24     | i32   | microseconds                                            |
// | 28     | i32   | status: -115 (-EINPROGRESS) on submissions, 0 or a      |
// |        |       | negative errno on completions                           |
// | 32     | u32   | URB length: bytes asked for (submission), bytes moved   |
// |        |       | (completion)                                            |
// | 36     | u32   | bytes of data captured after the header                 |
// | 40     | 8     | setup packet (control submissions), else zero           |
// | 48     | i32   | interval (0)                                            |
// | 52     | i32   | start frame (0)                                         |
// | 56     | u32   | transfer flags: 0x200 for IN, else 0                    |
// | 60     | u32   | ISO descriptor count (0)                                |
//
// OUT data travels with the submission, IN data with the completion, as
// usbmon records them. The pcap record's captured length is 64 + the
// captured data, its original length 64 + the record's whole data (more only
// when the snap length cut the data short); a record without data, such as
// an IN submission, has an original length of 64 whatever its URB length.
// The bus number is the device's own.
// Thread-safe: every Write is one whole record.
class UsbmonCapture {
  public:
    static constexpr std::uint32_t kLinkType = 220;
    static constexpr std::uint32_t kHeaderSize = 64;
    static constexpr std::uint32_t kSnapLength = 0x40000;
    static constexpr std::int32_t kInProgress = -115;

    struct Record {
        std::uint64_t urbId = 0;
        char type = 'S';
        std::uint8_t transferType = 3;
        std::uint8_t endpoint = 0;
        std::uint8_t device = 0;
        std::uint16_t bus = 1;
        bool hasSetup = false;
        std::array<std::uint8_t, 8> setup{};
        char dataFlag = 0;
        std::int32_t status = 0;
        std::uint32_t urbLength = 0;
        std::span<const std::uint8_t> data;
        std::uint32_t transferFlags = 0;
    };

    // Creates (truncates) the file and writes the pcap header; null when the
    // file cannot be written.
    static std::unique_ptr<UsbmonCapture> Create(const std::string& path);
    ~UsbmonCapture();
    UsbmonCapture(const UsbmonCapture&) = delete;
    UsbmonCapture& operator=(const UsbmonCapture&) = delete;

    // Writes one record stamped with the wall-clock time, and flushes it.
    void Write(const Record& record);

  private:
    explicit UsbmonCapture(std::FILE* file) : file_(file) {}
    std::FILE* file_;
};

}  // namespace platform::usbio
