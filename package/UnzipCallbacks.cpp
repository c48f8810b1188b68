#include "package/UnzipCallbacks.h"

#include "platform/profile/ProfileReader.h"

int UnzipPrintCallback(char* /*text*/, unsigned long /*length*/) {
    return 0;
}

int UnzipReplaceCallback(char* /*fileName*/) {
    return 1;
}

int UnzipPasswordCallback(char* /*buffer*/, int /*size*/, const char* /*prompt*/,
                          const char* /*entryName*/) {
    return 1;
}

int UnzipServiceCallback(const char* /*entryName*/, unsigned long /*size*/) {
    return 0;
}

int UnzipDescriptorServiceCallback(const char* /*entryName*/, unsigned long size) {
    return size > platform::ProfileReader::kMaxFileBytes ? 1 : 0;
}
