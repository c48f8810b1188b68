// The USB id list: any bytes as an ids file, and each of its lines as a
// command-line pair. A pair that is accepted reads back as itself; nothing
// else widens the list.

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzScratch.h"
#include "platform/usbio/libusb/UsbIdList.h"

using platform::usbio::UsbIdList;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    UsbIdList fromLines;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        std::string_view line = text.substr(start, end - start);
        // As in a file, text after '#' is a comment.
        line = line.substr(0, line.find('#'));
        const auto id = UsbIdList::Parse(line);
        if (fromLines.Add(line) != id.has_value()) {
            fuzzsupport::Violation("Add and Parse disagree", std::string(line));
        }
        if (id) {
            char canonical[16];
            std::snprintf(canonical, sizeof canonical, "%04x:%04x", id->vendor, id->product);
            const auto again = UsbIdList::Parse(canonical);
            if (!again || !(*again == *id) || !fromLines.Contains(id->vendor, id->product)) {
                fuzzsupport::Violation("a pair does not read back as itself", canonical);
            }
        }
        start = end + 1;
    }

    const std::string path = fuzzsupport::ScratchDir() + "/usb-ids";
    fuzzsupport::WriteInput(path, data, size);
    UsbIdList fromFile;
    std::vector<std::string> problems;
    const std::size_t added = fromFile.AddFile(path, problems);
    if (added < fromFile.Ids().size()) {
        fuzzsupport::Violation("AddFile added more pairs than it counted");
    }
    if (size > UsbIdList::kMaxFileSize && (added != 0 || problems.empty())) {
        fuzzsupport::Violation("an oversized ids file was read");
    }
    // Every pair read from the file is also a line the pair parser accepts.
    for (const auto& id : fromFile.Ids()) {
        if (!fromLines.Contains(id.vendor, id.product) && size <= UsbIdList::kMaxFileSize) {
            fuzzsupport::Violation("the file added a pair no line holds");
        }
    }
    return 0;
}
