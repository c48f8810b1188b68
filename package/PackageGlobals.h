#pragma once

#include <cstddef>

// Path buffers shared between the package scan, the view's upgrade command,
// the detection thread and the upgrade worker. Each is written by one side
// before the message or event that lets the other side read it. Directory
// paths end with "/"; an empty buffer means "not known".
inline constexpr std::size_t kPathBufferSize = 260;

// The package directory, "cfg/" beside the program's "bin/"; set by every scan.
extern char g_szPackageDir[kPathBufferSize];
// The staging directory, "test/" under the private temporary directory; set by
// every scan that finds at least one archive.
extern char g_szStagingDir[kPathBufferSize];
// The chosen archive's full path: g_szPackageDir followed by its file name.
extern char g_szPackagePath[kPathBufferSize];
