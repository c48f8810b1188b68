#include "package/PackageGlobals.h"

char g_szPackageDir[kPathBufferSize] = "";
char g_szStagingDir[kPathBufferSize] = "";
char g_szPackagePath[kPathBufferSize] = "";
