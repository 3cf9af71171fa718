// The library's two exports. Adding runs on libzip with zlib's deflate: the
// new archive is written beside the old one under a temporary name and
// renamed over it only when everything went well, so a failed or cancelled
// call leaves the archive as it was.
#include <sys/stat.h>
#include <unistd.h>

#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "zipdll/FileSource.h"
#include "zipdll/ZipDllApi.h"
#include "zipdll/ZipDllSession.h"

#define ZIPDLL_EXPORT extern "C" __attribute__((visibility("default")))

namespace zipdll {

namespace {

constexpr std::uint32_t kLibraryVersion = ZIPDLL_INTERFACE_VERSION;
// zlib's default level: the next levels cost twice the time for well under a
// percent of size.
constexpr zip_uint32_t kDeflateLevel = 6;

std::string Text(const char *s) {
    return s ? s : "";
}

std::string ArchiveError(zip_t *za) {
    return zip_strerror(za);
}

// The stored name of a file: without its directory when junkDirs is set,
// else its path under rootDir (or the whole path) with no leading "/" and
// no "." or ".." component, so that no extraction can leave its directory.
std::string EntryName(const std::string &path, const std::string &rootDir, bool junkDirs) {
    std::string p = path;
    if (junkDirs) {
        auto slash = p.find_last_of('/');
        return slash == std::string::npos ? p : p.substr(slash + 1);
    }
    std::string root = rootDir;
    if (!root.empty() && root.back() != '/')
        root += '/';
    if (!root.empty() && p.compare(0, root.size(), root) == 0)
        p.erase(0, root.size());
    std::string name;
    std::size_t start = 0;
    while (start <= p.size()) {
        std::size_t end = p.find('/', start);
        if (end == std::string::npos)
            end = p.size();
        std::string part = p.substr(start, end - start);
        if (!part.empty() && part != "." && part != "..")
            name += (name.empty() ? "" : "/") + part;
        start = end + 1;
    }
    return name;
}

struct TPlannedFile {
    TFileInfo Info;
    std::string Name;
    mode_t Mode = 0644;
};

struct TSkippedFile {
    std::string Path;
    int Reason;
    std::string Why;
};

// Stats every spec: what can be packed goes into files, the rest into
// skipped (reported once the batch is announced).
std::vector<TPlannedFile> PlanFiles(const TZipExecParams &p, std::vector<TSkippedFile> &skipped) {
    std::vector<TPlannedFile> files;
    for (std::int32_t i = 0; i < p.SpecCount; ++i) {
        const TZipFileSpec &spec = p.Specs[i];
        std::string path = Text(spec.FileSpec);
        std::string root = Text(spec.RootDir);
        if (!path.empty() && path[0] != '/' && !root.empty())
            path = root + (root.back() == '/' ? "" : "/") + path;
        struct stat st;
        int reason = 0;
        std::string why;
        if (path.empty() || stat(path.c_str(), &st) != 0) {
            reason =
                path.empty() || errno == ENOENT || errno == ENOTDIR ? zskNotFound : zskUnreadable;
            why = path.empty() ? "no file name" : std::strerror(errno);
        } else if (!S_ISREG(st.st_mode)) {
            reason = zskNotAFile;
            why = "not a regular file";
        } else if (access(path.c_str(), R_OK) != 0) {
            reason = zskUnreadable;
            why = std::strerror(errno);
        }
        if (reason) {
            skipped.push_back({path, reason, why});
            continue;
        }
        TPlannedFile f;
        f.Info.Path = path;
        f.Info.Size = st.st_size;
        f.Info.MTime = st.st_mtim.tv_sec;
        f.Mode = st.st_mode & 07777;
        f.Name = EntryName(path, root, p.JunkDirs != 0);
        if (f.Name.empty()) {
            skipped.push_back({path, zskNotFound, "no name to store it under"});
            continue;
        }
        files.push_back(std::move(f));
    }
    return files;
}

int CancelCheck(zip_t *, void *ud) {
    return static_cast<TSession *>(ud)->KeepAlive() ? 0 : 1;
}

// Adds one planned file to the open archive; false with a message.
bool AddToArchive(zip_t *za, const TPlannedFile &f, const TZipExecParams &p, TSession &session) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t *src = CreateFileSource(za, f.Info, session, &error);
    if (!src) {
        session.Message("Cannot add \"" + f.Info.Path + "\": " + zip_error_strerror(&error));
        zip_error_fini(&error);
        return false;
    }
    zip_error_fini(&error);
    zip_int64_t index = zip_file_add(za, f.Name.c_str(), src, ZIP_FL_OVERWRITE | ZIP_FL_ENC_GUESS);
    if (index < 0) {
        zip_source_free(src);
        session.Message("Cannot add \"" + f.Info.Path + "\": " + ArchiveError(za));
        return false;
    }
    auto i = static_cast<zip_uint64_t>(index);
    bool ok = zip_set_file_compression(za, i, f.Info.Size == 0 ? ZIP_CM_STORE : ZIP_CM_DEFLATE,
                                       kDeflateLevel) == 0;
    ok = ok &&
         zip_file_set_external_attributes(za, i, 0, ZIP_OPSYS_UNIX,
                                          static_cast<zip_uint32_t>(S_IFREG | f.Mode) << 16) == 0;
    std::string password = Text(p.Password);
    if (ok && p.Encrypt && !password.empty()) {
        zip_uint16_t method = zip_encryption_method_supported(ZIP_EM_TRAD_PKWARE, 1)
                                  ? ZIP_EM_TRAD_PKWARE
                                  : ZIP_EM_AES_256;
        ok = zip_file_set_encryption(za, i, method, password.c_str()) == 0;
    }
    if (!ok)
        session.Message("Cannot add \"" + f.Info.Path + "\": " + ArchiveError(za));
    return ok;
}

std::int32_t AddFiles(const TZipExecParams &p, TSession &session) {
    const std::string archive = p.ArchiveName;
    std::vector<TSkippedFile> skipped;
    std::vector<TPlannedFile> files = PlanFiles(p, skipped);
    std::int64_t bytes = 0;
    for (const auto &f : files)
        bytes += f.Info.Size;
    session.Report(zacBatchCount, static_cast<std::int64_t>(files.size()));
    session.Report(zacBatchBytes, bytes);
    for (const auto &s : skipped) {
        session.Message("Skipping \"" + s.Path + "\": " + s.Why);
        session.Report(zacSkipped, s.Reason, s.Path);
    }

    auto endBatch = [&](std::int32_t result) {
        session.Report(zacEndBatch);
        return result;
    };
    if (files.empty() || session.Stopped())
        return endBatch(0);

    zip_error_t error;
    zip_error_init(&error);
    zip_source_t *file = zip_source_file_create(archive.c_str(), 0, -1, &error);
    zip_t *za = file ? zip_open_from_source(file, ZIP_CREATE, &error) : nullptr;
    if (!za) {
        session.Message("Cannot open \"" + archive + "\": " + zip_error_strerror(&error));
        zip_error_fini(&error);
        if (file)
            zip_source_free(file);
        return endBatch(-1);
    }
    zip_error_fini(&error);
    zip_register_cancel_callback_with_state(za, CancelCheck, nullptr, &session);

    // The caller hands back the comment it read; only a changed one is set
    // (libzip refuses to set one that is not UTF-8).
    std::string comment = Text(p.Comment).substr(0, 0xFFFF);
    int oldLength = 0;
    const char *old = zip_get_archive_comment(za, &oldLength, ZIP_FL_ENC_RAW);
    bool ok =
        comment.empty() || comment == std::string(old ? old : "", old ? oldLength : 0) ||
        zip_set_archive_comment(za, comment.data(), static_cast<zip_uint16_t>(comment.size())) == 0;
    if (!ok)
        session.Message("Cannot set the comment of \"" + archive + "\": " + ArchiveError(za));
    std::set<std::string> names;
    for (std::size_t i = 0; ok && i < files.size(); ++i) {
        ok = AddToArchive(za, files[i], p, session);
        if (ok && !names.insert(files[i].Name).second)
            session.Message("\"" + files[i].Info.Path + "\" replaces an earlier file named \"" +
                            files[i].Name + "\"");
    }
    if (ok && zip_close(za) == 0) {
        for (const auto &f : files)
            session.Detail("  adding: " + f.Name);
        return endBatch(static_cast<std::int32_t>(names.size()));
    }
    bool cancelled = session.Stopped() || zip_error_code_zip(zip_get_error(za)) == ZIP_ER_CANCELLED;
    if (ok && !cancelled)
        session.Message("Cannot write \"" + archive + "\": " + ArchiveError(za));
    zip_discard(za);
    return endBatch(cancelled ? 0 : -1);
}

std::int32_t Exec(TZipExecParams *params) {
    if (!params)
        return -1;
    const TZipExecParams &p = *params;
    TSession session(p);
    if (p.Version < ZIPDLL_INTERFACE_VERSION) {
        session.Message("Interface version " + std::to_string(p.Version) + " is not supported (" +
                        std::to_string(ZIPDLL_INTERFACE_VERSION) + " or later is)");
        return -1;
    }
    if (!p.ArchiveName || !*p.ArchiveName) {
        session.Message("No archive name was given");
        return -1;
    }
    if (p.SpecCount < 0 || (p.SpecCount > 0 && !p.Specs)) {
        session.Message("The list of files is invalid");
        return -1;
    }
    if (p.Removing || !p.Adding) {
        session.Message("Only adding files is supported");
        return -1;
    }
    return AddFiles(p, session);
}

} // namespace

} // namespace zipdll

ZIPDLL_EXPORT uint32_t GetZipDllVersion(void) {
    return zipdll::kLibraryVersion;
}

ZIPDLL_EXPORT int32_t ZipDllExec(TZipExecParams *params) {
    // Nothing may unwind into the caller.
    try {
        return zipdll::Exec(params);
    } catch (...) {
        return -1;
    }
}
