// The last error of the file calls: errno values, plus
// ERROR_SHARING_VIOLATION, kept per thread, and their texts.
#pragma once

#include <string>

namespace pv {

// Not an errno value: an open refused by another holder's lock.
constexpr int ERROR_SHARING_VIOLATION = 0x10020;

int GetLastError();
void SetLastError(int code);
// "The process cannot access the file because it is being used by another
// process." for ERROR_SHARING_VIOLATION, else strerror's text.
std::string SysErrorMessage(int code);
std::string LastErrorText(); // SysErrorMessage(GetLastError())

// Sets the last error and returns false: the failing exit of the file calls.
inline bool FailWith(int code) {
    SetLastError(code);
    return false;
}

} // namespace pv
