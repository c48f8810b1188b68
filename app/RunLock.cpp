#include "app/RunLock.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/OutsideText.h"
#include "platform/FileSystem.h"
#include "platform/PrivateTempDir.h"

namespace {

std::string WithoutSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

bool Alive(long pid) {
    return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

}  // namespace

RunLock::~RunLock() {
    Release();
}

RunLock::Result RunLock::Take(const std::string& base, const std::string& own,
                              const std::string& what) {
    Release();
    holders_.clear();
    problem_.clear();
    bool held = false;
    if (!whole_.Acquire(base, held, !own.empty(), &problem_)) {
        if (held) {
            holders_ = AllNotes(base);
        }
        return held ? Result::Held : Result::Unavailable;
    }
    base_ = base;
    if (own.empty()) {
        WriteNote(base, what);
        return Result::Taken;
    }
    // The directory of a run that just ended may go between making it and
    // locking it; a lock on a directory no longer there is taken again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!platform::PrivateTempDir::Prepare(WithoutSlash(own), problem_)) {
            break;
        }
        if (!own_.Acquire(own, held, false, &problem_)) {
            if (held) {
                holders_ = NoteIn(own);
                if (holders_.empty()) {
                    holders_ = "another run on the same instrument";
                }
            }
            whole_.Release();
            return held ? Result::Held : Result::Unavailable;
        }
        struct stat locked = {};
        struct stat there = {};
        if (::fstat(own_.Descriptor(), &locked) == 0 &&
            ::lstat(WithoutSlash(own).c_str(), &there) == 0 && locked.st_dev == there.st_dev &&
            locked.st_ino == there.st_ino) {
            ownPath_ = own;
            WriteNote(own, what);
            return Result::Taken;
        }
        own_.Release();
        problem_ = WithoutSlash(own) + " went while it was being locked";
    }
    whole_.Release();
    return Result::Unavailable;
}

void RunLock::Release() {
    if (!ownPath_.empty()) {
        platform::FileSystem::Delete(ownPath_ + kNoteName);
        platform::FileSystem::ClearDirectory(ownPath_);
        ::rmdir(WithoutSlash(ownPath_).c_str());
        own_.Release();
        ownPath_.clear();
    } else if (!base_.empty()) {
        platform::FileSystem::Delete(base_ + kNoteName);
    }
    whole_.Release();
    base_.clear();
}

void RunLock::WriteNote(const std::string& directory, const std::string& what) {
    platform::FileSystem::WriteAll(directory + kNoteName,
                                   std::to_string(::getpid()) + " " + what + "\n");
}

std::string RunLock::NoteIn(const std::string& directory) {
    std::string text;
    if (!platform::FileSystem::ReadAll(directory + kNoteName, text, 4096)) {
        return {};
    }
    const std::size_t space = text.find(' ');
    if (space == std::string::npos) {
        return {};
    }
    char* end = nullptr;
    const long pid = std::strtol(text.c_str(), &end, 10);
    if (end != text.c_str() + space || !Alive(pid)) {
        return {};  // a note left by a run that ended abruptly
    }
    std::string what = text.substr(space + 1);
    while (!what.empty() && what.back() == '\n') {
        what.pop_back();
    }
    return OutsideText::Visible(what) + " (process " + std::to_string(pid) + ")";
}

std::string RunLock::AllNotes(const std::string& base) {
    std::string notes = NoteIn(base);
    std::vector<platform::FileSystem::Entry> entries;
    if (platform::FileSystem::List(base, entries)) {
        for (const auto& entry : entries) {
            if (entry.kind != platform::FileSystem::Kind::Directory ||
                entry.name.rfind(kOwnPrefix, 0) != 0) {
                continue;
            }
            if (std::string note = NoteIn(base + entry.name + "/"); !note.empty()) {
                notes += (notes.empty() ? "" : "; ") + note;
            }
        }
    }
    return notes.empty() ? "another copy of the program" : notes;
}
