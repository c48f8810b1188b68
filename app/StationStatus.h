#pragma once

#include <cstdio>
#include <string>
#include <vector>

// --station-status: one line per instrument the station's bound runs have
// seen, from the history (each attempt's result) and the runs' progress
// (what runs now): the instrument's ID, its serial number, its state
// (waiting for the instrument, upgrading with the file and its percentage,
// succeeded, failed and why, interrupted when a run ended without a
// result), and the start and end of its latest attempt. Text (tab-separated,
// outside text escaped) or JSON Lines.
class StationStatus {
  public:
    struct Instrument {
        std::string id;  // the ID its runs were bound to
        std::string serial;
        std::string port;
        std::string package;
        std::string state;  // waiting, upgrading, succeeded, failed, interrupted
        std::string file;   // upgrading: the file being sent
        int percent = 0;    // upgrading: how much of it
        bool flashing = false;
        std::string reason;  // failed, interrupted: why
        std::string start;
        std::string end;  // empty while it runs
    };

    // The instruments of the station whose history is at historyPath (its
    // progress lies beside it), ordered by ID.
    static std::vector<Instrument> Read(const std::string& historyPath);
    // Prints them; always 0.
    static int Show(const std::string& historyPath, bool json, std::FILE* out);

    static std::string TextLine(const Instrument& instrument);
    static std::string JsonLine(const Instrument& instrument);
};
