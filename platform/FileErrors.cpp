#include "platform/FileErrors.h"

#include <cstring>

namespace pv {

namespace {
thread_local int tLastError = 0;
}

int GetLastError() {
    return tLastError;
}
void SetLastError(int code) {
    tLastError = code;
}

std::string SysErrorMessage(int code) {
    if (code == ERROR_SHARING_VIOLATION)
        return "The process cannot access the file because it is being used by another process.";
    char buf[256];
    // GNU strerror_r returns the text, possibly not in buf.
    return strerror_r(code, buf, sizeof buf);
}

std::string LastErrorText() {
    return SysErrorMessage(tLastError);
}

} // namespace pv
