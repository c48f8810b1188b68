#include "res/StringTable.h"

#include <array>
#include <utility>

#include "res/Resource.h"

namespace res {
namespace {

struct Entry {
    std::uint32_t id;
    const char* text;
};

constexpr std::array kStrings{
    Entry{IDR_MAINFRAME,
          "Talvenmark Pro Upgrade Utility\n\nTalvenmark Pro Upgrade Utility\n\n\n"
          "Talvenmark Pro Upgrade Utility.Document\nTalvenmark Pro Upgrade Utility Document"},
    Entry{ID_UPGRADE_VIA_USB, "Upgrade device via USB\nUpgrade Via USB"},
    Entry{AFX_IDS_APP_TITLE, "Talvenmark Pro Upgrade Utility"},
    Entry{AFX_IDS_IDLEMESSAGE, "Ready"},
    Entry{ID_INDICATOR_CAPS, "CAP"},
    Entry{ID_INDICATOR_NUM, "NUM"},
    Entry{ID_INDICATOR_SCRL, "SCRL"},
    Entry{ID_APP_ABOUT, "Display program information, version number and copyright\nAbout"},
    Entry{ID_APP_EXIT, "Quit the application; prompts to save documents\nExit"},
    Entry{ID_VIEW_TOOLBAR, "Show or hide the toolbar\nToggle ToolBar"},
    Entry{ID_VIEW_STATUS_BAR, "Show or hide the status bar\nToggle StatusBar"},
    Entry{AFX_IDS_OPENFILE, "Open"},
    Entry{AFX_IDS_ALLFILTER, "All Files (*.*)"},
    Entry{AFX_IDP_FAILED_TO_CREATE_DOC, "Failed to create empty document."},
    Entry{IDP_PACKAGE_DAMAGED,
          "The package %s is damaged and cannot be installed. Nothing was sent to the "
          "instrument."},
    Entry{IDP_ALREADY_RUNNING, "Another Talvenmark Pro Upgrade Utility is already running."},
    Entry{IDP_STAGING_UNUSABLE,
          "The staging directory %s cannot be emptied. Nothing was sent to the instrument."},
    Entry{IDP_PACKAGE_REFUSED,
          "The package %s %s and cannot be installed. Nothing was sent to the instrument."},
    Entry{IDP_NO_SPACE,
          "There is not enough free space to unpack %s. Nothing was sent to the instrument."},
    Entry{IDP_TWO_APPLICATION_IMAGES,
          "The package %s holds more than one application image (%s and %s) and cannot be "
          "installed. Nothing was sent to the instrument."},
    Entry{IDP_TWO_BOOT_IMAGES,
          "The package %s holds more than one boot image (%s and %s) and cannot be installed. "
          "Nothing was sent to the instrument."},
};

}  // namespace

const char* StringTable::Find(std::uint32_t id) {
    for (const Entry& e : kStrings) {
        if (e.id == id) {
            return e.text;
        }
    }
    return nullptr;
}

std::string StringTable::Load(std::uint32_t id) {
    const char* text = Find(id);
    return text != nullptr ? std::string(text) : std::string();
}

std::string StringTable::Field(std::uint32_t id, int index) {
    const std::string text = Load(id);
    std::size_t start = 0;
    for (int i = 0; i < index; ++i) {
        const std::size_t next = text.find('\n', start);
        if (next == std::string::npos) {
            return {};
        }
        start = next + 1;
    }
    const std::size_t end = text.find('\n', start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace res
