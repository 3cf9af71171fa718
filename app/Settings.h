// The helpers of the settings: password scrambling, the mailbox parser and
// the path routines. Paths use "/"; the root "/" plays the part of a drive
// root and is never shortened.
#pragma once

#include "platform/Object.h"

#include <string>
#include <vector>

namespace pv {

// The items of ComboCharset ("KOIR8-R" spelled so) and of ComboTime.
extern const std::vector<std::string> kCharsetItems;
extern const std::vector<std::string> kTimeUnitItems;

// Inverts bit 7 of every byte; applying it twice gives the text back.
std::string ScramblePassword(const std::string &text);
// Whether the password's scrambled form reads back from the INI file as it
// was: not when it would begin or end with a blank or control character, or
// hold a line break or NUL.
bool PasswordStoresIntact(const std::string &password);
// Whether a Password value as the INI file holds it looks as if it had been
// written in clear text: none of its bytes has bit 7 set, which a scrambled
// ASCII password always has.
bool LooksUnscrambled(const std::string &stored);

// The INI file of a program in appDir: named after the running program.
std::string IniFileName(const std::string &appDir);

struct TMailbox {
    std::string Name;
    std::string Address;
};

// "Name <address>", "\"Name\" <address>", "name address" or a bare address:
// the mail client's own grammar (SplitAddress), so that the sender the field
// check accepts is the one the client sends.
TMailbox ParseMailbox(const std::string &text);
// "\"Name\" <address>", the address alone, or "" when there is no address.
std::string NormalizeAddress(const std::string &text);

std::string AddBackslash(const std::string &path);
std::string RemoveBackslash(const std::string &path);
bool IsDirectory(const std::string &path);
// Creates the directory and its missing parents. An empty path raises.
bool CreateDirPath(const std::string &path);

} // namespace pv
