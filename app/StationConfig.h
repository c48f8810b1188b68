#pragma once

#include <string>

// What a station installs into every instrument plugged into it, from
// /etc/kestrup/station.conf (the file whose presence makes a machine a
// station):
//
//   # the package, by its file name in the packages directory
//   package = TPro_English_7.0.5.pcg
//   # optional: only instruments whose serial number fits (*, ?, [...])
//   serial = TP-*
//
// One "key = value" a line; '#' starts a comment line; blanks around keys
// and values go. Anything else is refused with the line it is on.
class StationConfig {
  public:
    static constexpr const char* kDefaultPath = "/etc/kestrup/station.conf";
    // Where a station keeps its history (its systemd state directory), which
    // --station-status reads on a station.
    static constexpr const char* kStationHistory = "/var/lib/kestrup/history.jsonl";

    std::string package;
    std::string serialPattern;  // empty: every serial number

    // False, with why in error (naming the file), when the file cannot be
    // read or says something else.
    static bool Load(const std::string& path, StationConfig& out, std::string& error);
    static bool Parse(const std::string& text, StationConfig& out, std::string& error);
};
