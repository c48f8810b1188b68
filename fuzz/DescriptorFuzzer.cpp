// The package descriptor as the package scan reads it: the profile reader's
// values (into small and full-size buffers) and the package acceptance test,
// over any bytes as the descriptor file.

#include <cstring>
#include <string>

#include "fuzz/FuzzScratch.h"
#include "package/CKestrupDoc.h"
#include "platform/profile/ProfileReader.h"

namespace {

// One read into a buffer of `size` bytes: the value is always terminated,
// never longer than size - 1 and as long as the count returned; bytes past
// the terminating zero stay untouched.
void ReadInto(const char* section, const char* key, std::size_t size, const std::string& path) {
    constexpr char kGuard = '\x5A';
    std::string buffer(size + 16, kGuard);
    const std::size_t n = platform::ProfileReader::GetString(section, key, "fallback",
                                                             buffer.data(), size, path.c_str());
    if (size == 0) {
        if (n != 0 || buffer[0] != kGuard) {
            fuzzsupport::Violation("a read into no buffer wrote or counted", key);
        }
        return;
    }
    if (n >= size || buffer[n] != '\0' || std::strlen(buffer.data()) != n) {
        fuzzsupport::Violation("a value is not terminated at its count", key);
    }
    for (std::size_t i = size; i < buffer.size(); ++i) {
        if (buffer[i] != kGuard) {
            fuzzsupport::Violation("a read wrote past its buffer", key);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = fuzzsupport::ScratchDir() + "/package.inf";
    fuzzsupport::WriteInput(path, data, size);

    for (const std::size_t bufferSize :
         {std::size_t{0}, std::size_t{1}, std::size_t{7}, CKestrupDoc::kValueBufferSize}) {
        ReadInto("PACKAGE", "Description", bufferSize, path);
        ReadInto("package", "language", bufferSize, path);
        ReadInto("PACKAGE", "Version", bufferSize, path);
        ReadInto("PACKAGE", "version_date", bufferSize, path);
        ReadInto("", "", bufferSize, path);
    }
    // The acceptance test agrees with the Description value it reads.
    char description[CKestrupDoc::kValueBufferSize];
    platform::ProfileReader::GetString("PACKAGE", "Description", "", description,
                                       sizeof description, path.c_str());
    if (CKestrupDoc::IsAcceptedDescriptor(path.c_str()) !=
        CKestrupDoc::IsProductDescription(description)) {
        fuzzsupport::Violation("the acceptance test disagrees with the Description value");
    }
    return 0;
}
