#pragma once

#include <cstdint>

// Identifiers of the program's resources, commands, strings, indicators and
// controls. The framework pieces look many of them up by number, so the
// values are fixed.
namespace res {

// Resources.
inline constexpr std::uint32_t IDR_MAINFRAME =
    128;  // menu, accelerators, toolbar, icon, document string
inline constexpr std::uint32_t IDD_ABOUTBOX = 100;      // About dialog
inline constexpr std::uint32_t IDD_UPGRADE_FORM = 146;  // form of the upgrade view
inline constexpr std::uint32_t IDI_WARNING = 146;       // warning triangle on that form
inline constexpr std::uint32_t IDB_ROW_IMAGES = 130;    // strip of eight row images

// Strings.
inline constexpr std::uint32_t AFX_IDS_APP_TITLE = 57344;
inline constexpr std::uint32_t AFX_IDS_IDLEMESSAGE = 57345;
inline constexpr std::uint32_t AFX_IDS_OPENFILE = 61440;
inline constexpr std::uint32_t AFX_IDS_ALLFILTER = 61442;
inline constexpr std::uint32_t AFX_IDP_FAILED_TO_CREATE_DOC = 61700;
inline constexpr std::uint32_t IDP_PACKAGE_DAMAGED = 201;  // %s: the package's file name
inline constexpr std::uint32_t IDP_ALREADY_RUNNING = 202;
inline constexpr std::uint32_t IDP_STAGING_UNUSABLE = 203;  // %s: the staging directory
inline constexpr std::uint32_t IDP_PACKAGE_REFUSED = 204;   // %s: file name, %s: why (signature)
inline constexpr std::uint32_t IDP_NO_SPACE = 210;          // %s: the package's file name
// %s: the package's file name, then the first two images' names.
inline constexpr std::uint32_t IDP_TWO_APPLICATION_IMAGES = 211;
inline constexpr std::uint32_t IDP_TWO_BOOT_IMAGES = 212;

// Commands.
inline constexpr std::uint32_t ID_START_UPGRADE = 32774;
inline constexpr std::uint32_t ID_POSTED_UPGRADE = 32777;
inline constexpr std::uint32_t ID_UPGRADE_VIA_USB = 32785;
inline constexpr std::uint32_t ID_FILE_NEW = 57600;
inline constexpr std::uint32_t ID_FILE_OPEN = 57601;
inline constexpr std::uint32_t ID_FILE_SAVE = 57603;
inline constexpr std::uint32_t ID_EDIT_COPY = 57634;
inline constexpr std::uint32_t ID_EDIT_CUT = 57635;
inline constexpr std::uint32_t ID_EDIT_PASTE = 57637;
inline constexpr std::uint32_t ID_EDIT_UNDO = 57643;
inline constexpr std::uint32_t ID_APP_ABOUT = 57664;
inline constexpr std::uint32_t ID_APP_EXIT = 57665;
inline constexpr std::uint32_t ID_NEXT_PANE = 57680;
inline constexpr std::uint32_t ID_PREV_PANE = 57681;
inline constexpr std::uint32_t ID_VIEW_TOOLBAR = 59392;
inline constexpr std::uint32_t ID_VIEW_STATUS_BAR = 59393;

// Child windows of the frame share the numbers of their View commands.
inline constexpr std::uint32_t AFX_IDW_TOOLBAR = 59392;
inline constexpr std::uint32_t AFX_IDW_STATUS_BAR = 59393;

// Status-bar indicators.
inline constexpr std::uint32_t ID_SEPARATOR = 0;  // the message pane
inline constexpr std::uint32_t ID_INDICATOR_CAPS = 59137;
inline constexpr std::uint32_t ID_INDICATOR_NUM = 59138;
inline constexpr std::uint32_t ID_INDICATOR_SCRL = 59139;

// Controls.
inline constexpr std::uint32_t IDOK = 1;
inline constexpr std::uint32_t IDC_PACKAGE_LIST = 1004;

}  // namespace res
