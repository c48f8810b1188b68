#include "package/UnzipCallbacks.h"

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
