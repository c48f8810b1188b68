#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::usbio {

// The vendor:product pairs that count as the instrument: what the libusb back
// end lets through as device interfaces. Every other device stays invisible
// and never receives a byte.
//
// The list comes from the ids files (DefaultFiles) and from the command
// line. File format: one "VID:PID" per line in hexadecimal (1 to 4 digits
// each, an optional 0x prefix, any case), blank lines and text after '#'
// ignored. A line that is not a pair is skipped and reported; it never
// widens the list.
class UsbIdList {
  public:
    struct Id {
        std::uint16_t vendor = 0;
        std::uint16_t product = 0;
        friend bool operator==(const Id&, const Id&) = default;
    };

    // Files larger than this are refused as a whole.
    static constexpr std::size_t kMaxFileSize = 64 * 1024;

    // "1209:0001" -> {0x1209, 0x0001}; nothing for anything else.
    static std::optional<Id> Parse(std::string_view text);

    // The ids files in reading order: the system's
    // (/etc/kestrup/usb-ids) and the user's ($XDG_CONFIG_HOME/kestrup/usb-ids,
    // else ~/.config/kestrup/usb-ids when HOME is set).
    static std::vector<std::string> DefaultFiles();

    void Add(Id id);
    // Adds "VID:PID"; false (and nothing added) when it is not a pair.
    bool Add(std::string_view text);
    // Adds the pairs of one ids file. A missing file adds nothing and is no
    // problem; an unreadable or oversized file and each bad line append a
    // text to problems. Returns the number of pairs added.
    std::size_t AddFile(const std::string& path, std::vector<std::string>& problems);

    bool Contains(std::uint16_t vendor, std::uint16_t product) const;
    const std::vector<Id>& Ids() const { return ids_; }
    bool Empty() const { return ids_.empty(); }

  private:
    std::vector<Id> ids_;
};

}  // namespace platform::usbio
