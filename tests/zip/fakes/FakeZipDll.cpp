// A stand-in for the ZIP library that a loader must refuse.
#include "zipdll/ZipDllApi.h"

extern "C" __attribute__((visibility("default"))) uint32_t GetZipDllVersion(void) {
#ifdef PV_FAKE_OLD
    return ZIPDLL_INTERFACE_VERSION - 1;
#else
    return ZIPDLL_INTERFACE_VERSION;
#endif
}

#ifndef PV_FAKE_NOEXEC
extern "C" __attribute__((visibility("default"))) int32_t ZipDllExec(TZipExecParams *) {
    return 0;
}
#endif
