#pragma once

// The unzip library's extraction interface: the option record DCL, the
// callback record USERFUNCTIONS and the entry point Wiz_SingleEntryUnzip,
// under the names the program was written against. ZIP archives only. The
// records keep their field order; their sizes follow this platform's pointer
// and long sizes, and nothing relies on them.

// Option record, 17 fields: 15 integer flags, then the archive's path and
// the target directory. Zero-fill it before use. Flags that are honoured:
//   fQuiet   non-zero: no texts to the print callback
//   ndflag   0: members' folder names are dropped, every file lands
//            directly in the target directory (a later member of the same
//            name replaces an earlier one) and folder members create
//            nothing; non-zero recreates the folders under the target
//   noflag   non-zero: existing files are replaced without asking; 0 asks
//            the replace callback, and a 0 answer skips the member
//   C_flag   non-zero: member names are matched without regard to case
// The other flags are accepted and have no effect.
struct DCL {
    int ExtractOnlyNewer;
    int SpaceToUnderscore;
    int PromptToOverwrite;
    int fQuiet;
    int ncflag;
    int ntflag;
    int nvflag;
    int nfflag;
    int nzflag;
    int ndflag;
    int noflag;
    int naflag;
    int nZIflag;
    int C_flag;
    int fPrivilege;
    const char* lpszZipFN;
    const char* lpszExtractDir;
};
using LPDCL = DCL*;

// Callbacks. `print` receives progress and error texts; `replace` is asked
// before an existing file is replaced when noflag is 0 (non-zero: replace);
// `password` is asked for an encrypted member's password and may write it
// into the buffer (non-zero: a password was given); `SendApplicationMessage`
// is told about every member written; `ServCallBk` is told about every
// member before it is written and stops the whole extraction by returning
// non-zero. `sound` is never called. Null callbacks are skipped. The size
// and count fields after the callbacks are neither read nor written.
using UnzipPrintFn = int (*)(char* text, unsigned long length);
using UnzipSoundFn = void (*)();
using UnzipReplaceFn = int (*)(char* fileName);
using UnzipPasswordFn = int (*)(char* buffer, int size, const char* prompt, const char* entryName);
using UnzipApplicationMessageFn = void (*)(const char* entryName, unsigned long size);
using UnzipServiceFn = int (*)(const char* entryName, unsigned long size);

struct USERFUNCTIONS {
    UnzipPrintFn print;
    UnzipSoundFn sound;
    UnzipReplaceFn replace;
    UnzipPasswordFn password;
    UnzipApplicationMessageFn SendApplicationMessage;
    UnzipServiceFn ServCallBk;
    unsigned long TotalSizeComp;
    unsigned long TotalSize;
    unsigned long CompFactor;
    unsigned long NumMembers;
    unsigned short cchComment;
};
using LPUSERFUNCTIONS = USERFUNCTIONS*;

// Results of Wiz_SingleEntryUnzip.
enum : int {
    UNZIP_OK = 0,           // every member asked for was found and written
    UNZIP_WARNING = 1,      // some member was refused (unsafe name or kind) or skipped
    UNZIP_ERROR = 2,        // a member's data is corrupt or unreadable
    UNZIP_BADARCHIVE = 3,   // the archive's structure is broken
    UNZIP_NOARCHIVE = 9,    // the archive cannot be opened or is no ZIP archive
    UNZIP_PARAM = 10,       // bad arguments
    UNZIP_NOTFOUND = 11,    // a member name asked for is not in the archive
    UNZIP_DISK = 50,        // the target's file system has not enough free space
    UNZIP_TARGET = 60,      // the target cannot be created or written for another reason
    UNZIP_CANCELLED = 80,   // the service callback stopped the extraction
    UNZIP_BADPASSWORD = 82  // an encrypted member could not be decrypted
};

// Extracts the members of lpDCL->lpszZipFN named by ifnv (shell patterns
// with * ? [...], matched against the whole member name; ifnc == 0 means
// every member), less those named by xfnv, into lpDCL->lpszExtractDir.
//
// The target directory must be an absolute path and not a symbolic link; it
// is created when missing.
// Archives are untrusted: a member whose name is absolute, has a ".."
// component or holds a control character (C0, DEL or C1, which no file name
// of a package needs and which a terminal would act on), a symbolic or hard
// link, and a device, FIFO or socket entry are
// never written. Nothing is written outside the target directory: an
// existing symbolic link in the way is replaced, never followed. Files are
// written under a temporary name and renamed into place.
//
// Archives are also bounded before anything is written: every member to be
// written must announce its size in its header (at most 0xFFFFFFFE bytes;
// 64-bit sizes are refused), be stored or deflated (other methods bring
// decoders whose memory the archive decides), and all of them together must
// fit the target's free space; otherwise the extraction writes nothing and
// fails. A member that inflates past its announced size is cut off and
// fails.
//
// Returns UNZIP_OK only when every name asked for matched a member and every
// matching member was written; a refused member gives UNZIP_WARNING, and
// the worst problem met decides the result otherwise. Any thread; calls
// share no state.
int Wiz_SingleEntryUnzip(int ifnc, char** ifnv, int xfnc, char** xfnv, LPDCL lpDCL,
                         LPUSERFUNCTIONS lpUserFunc);
