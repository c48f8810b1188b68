#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzsupport {

// A private directory (mode 0700 under $TMPDIR or /tmp) made once per process
// for the files a target writes its input to; removed at exit. Aborts when it
// cannot be made: a target without a scratch directory tests nothing.
const std::string& ScratchDir();

// Writes bytes to path (replacing it); aborts on failure.
void WriteInput(const std::string& path, const std::uint8_t* data, std::size_t size);

// Removes a tree without following links; aborts when something stays.
void RemoveTree(const std::string& path);

// Reports a broken invariant and aborts, so that the fuzzer keeps the input.
[[noreturn]] void Violation(const char* what, const std::string& detail = {});

}  // namespace fuzzsupport
