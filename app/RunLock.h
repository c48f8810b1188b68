#pragma once

#include <string>

#include "platform/InstanceLock.h"

// The program's lock for one run, so that two runs never work in the same
// temporary and staging directories, and what a run that finds it taken is
// told.
//
// The window, an unbound unattended run and the package listing hold the
// whole program's lock: an exclusive lock on the private temporary directory.
// A run bound to one instrument holds a shared lock on that directory (as
// runs bound to other instruments do) and an exclusive lock on a directory
// of its own below it. So bound runs on different instruments go together,
// while a bound run and the window (or an unbound run) keep each other out,
// and so do two runs bound to the same instrument.
//
// Every holder leaves a note in the directory it locked ("running": its
// process id and what it is), removed when it lets go, so that a run that
// finds the lock taken can say what runs. The note only names; the locks
// decide.
class RunLock {
  public:
    enum class Result { Taken, Held, Unavailable };
    static constexpr const char* kNoteName = "running";
    // How a bound run's directory is named: this and the instrument's ID as
    // a file name.
    static constexpr const char* kOwnPrefix = "instrument-";

    RunLock() = default;
    ~RunLock();
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;

    // base: the private temporary directory (ending with "/"); own: the
    // bound run's directory below it ("instrument-<id>/"), empty for the
    // whole program's lock. what: how this run is named to others ("the
    // window"). Unavailable: a directory could not be made or opened.
    Result Take(const std::string& base, const std::string& own, const std::string& what);
    // After Held: what runs, e.g. "the window (process 4711)"; several
    // separated by "; ". Outside text in it is escaped.
    const std::string& Holders() const { return holders_; }
    // After Unavailable: what went wrong (a path and the system's word).
    const std::string& Problem() const { return problem_; }
    // Lets go. A bound run's directory goes with it, its staging included:
    // the next run on that instrument starts afresh, and no directory per
    // instrument ever seen stays behind.
    void Release();

  private:
    // The note in directory, "WHAT (process PID)", when its process lives.
    static std::string NoteIn(const std::string& directory);
    // The notes of base and of every bound run's directory below it.
    static std::string AllNotes(const std::string& base);
    static void WriteNote(const std::string& directory, const std::string& what);

    platform::InstanceLock whole_;
    platform::InstanceLock own_;
    std::string base_;
    std::string ownPath_;
    std::string holders_;
    std::string problem_;
};
