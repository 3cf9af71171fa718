// Small text helpers shared by every layer. Text is 8-bit bytes; case
// conversion and comparison touch ASCII letters only.
#pragma once

#include <cstdint>
#include <string>

namespace pv {

// Remove leading/trailing characters <= ' ' (blanks and control characters).
std::string Trim(const std::string &s);
std::string TrimLeft(const std::string &s);
std::string TrimRight(const std::string &s);

std::string UpperCase(const std::string &s);
std::string LowerCase(const std::string &s);
bool SameText(const std::string &a, const std::string &b);

std::string IntToStr(std::int64_t value);

// Decimal with optional sign, or hexadecimal after "0x"/"0X"/"$" (sign allowed
// before the prefix). Leading and trailing blanks are ignored. Anything else,
// an empty text or a value outside the target type's range gives def.
int StrToIntDef(const std::string &s, int def);
std::int64_t StrToInt64Def(const std::string &s, std::int64_t def);
// The same, reporting success instead of taking a default.
bool TryStrToInt(const std::string &s, int &value);

// OEM code page (CP437) <-> the system's (UTF-8). Characters without an
// equivalent become '?'.
std::string OemToSystem(const std::string &s);
std::string SystemToOem(const std::string &s);

} // namespace pv
