// A file as a libzip source that reports its reading to the caller: the
// beginning of the file, a progress step every megabyte, and the caller's
// answer to stop, which makes the read fail with ZIP_ER_CANCELLED.
#pragma once

#include <zip.h>

#include <cstdint>
#include <string>

#include "zipdll/ZipDllSession.h"

namespace zipdll {

struct TFileInfo {
    std::string Path; // as the caller named it
    std::int64_t Size = 0;
    std::int64_t MTime = 0; // seconds since the epoch
};

// The source reads exactly Size bytes: a file that grew is cut at the size
// its batch announced, one that shrank fails the read. Returns nullptr with
// error set when the source cannot be created.
zip_source_t *CreateFileSource(zip_t *archive, const TFileInfo &file, TSession &session,
                               zip_error_t *error);

} // namespace zipdll
