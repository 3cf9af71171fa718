// Files and directories in the terms the components use: paths, error texts,
// attributes with an emulated archive bit, directory search, opening with a
// sharing mode, copy, delete, create, and whole-file atomic writes. Paths use
// "/". Failing calls leave an error code that GetLastError/LastErrorText
// report (errno values, plus ERROR_SHARING_VIOLATION), per thread.
#pragma once

#include "platform/ArchiveRecord.h"
#include "platform/AtomicFile.h"
#include "platform/DirectorySearch.h"
#include "platform/FileAttributes.h"
#include "platform/FileErrors.h"
#include "platform/FileOperations.h"
#include "platform/FileStream.h"
#include "platform/Paths.h"
