#include "zipdll/FileSource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

namespace zipdll {

namespace {

// Often enough that a cancel of a long file is seen within milliseconds,
// rarely enough that the callback costs nothing.
constexpr std::int64_t kProgressStep = 1 << 20;

struct TFileSource {
    TFileInfo File;
    TSession *Session = nullptr;
    zip_error_t Error;
    int Fd = -1;
    std::int64_t Offset = 0;   // bytes delivered since the last open
    std::int64_t Reported = 0; // bytes reported as progress (a reopen reports no byte twice)
    bool Begun = false;

    void Fail(int zipError, int systemError = 0) { zip_error_set(&Error, zipError, systemError); }

    // Progress up to Offset; false when the caller asked to stop.
    bool ReportProgress(bool final) {
        std::int64_t step = Offset - Reported;
        if (step <= 0 || (!final && step < kProgressStep))
            return !Session->Stopped();
        Reported = Offset;
        return Session->Report(zacProgress, step);
    }

    zip_int64_t Open() {
        if (!Begun) {
            Begun = true;
            if (!Session->Report(zacBeginFile, File.Size, File.Path)) {
                Fail(ZIP_ER_CANCELLED);
                return -1;
            }
        }
        Fd = ::open(File.Path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (Fd < 0) {
            Fail(ZIP_ER_OPEN, errno);
            return -1;
        }
        struct stat st;
        if (fstat(Fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            Fail(ZIP_ER_OPEN, errno ? errno : EINVAL);
            Close();
            return -1;
        }
        posix_fadvise(Fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        Offset = 0;
        return 0;
    }

    zip_int64_t Read(void *data, zip_uint64_t len) {
        // Never past the next progress step, so that every step is whole.
        std::int64_t want = std::min<std::int64_t>(
            {File.Size - Offset, Reported + kProgressStep - Offset,
             static_cast<std::int64_t>(std::min<zip_uint64_t>(len, 1 << 30))});
        std::int64_t done = 0;
        while (done < want) {
            ssize_t n = ::pread(Fd, static_cast<char *>(data) + done,
                                static_cast<std::size_t>(want - done), Offset + done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                Fail(ZIP_ER_READ, errno);
                return -1;
            }
            if (n == 0) { // shrank while being read
                Fail(ZIP_ER_INCONS);
                return -1;
            }
            done += n;
        }
        Offset += done;
        if (!ReportProgress(Offset == File.Size)) {
            Fail(ZIP_ER_CANCELLED);
            return -1;
        }
        return done;
    }

    void Close() {
        if (Fd >= 0)
            ::close(Fd);
        Fd = -1;
    }

    zip_int64_t Stat(void *data, zip_uint64_t len) {
        if (len < sizeof(zip_stat_t)) {
            Fail(ZIP_ER_INVAL);
            return -1;
        }
        auto *st = static_cast<zip_stat_t *>(data);
        zip_stat_init(st);
        st->size = static_cast<zip_uint64_t>(File.Size);
        st->mtime = static_cast<time_t>(File.MTime);
        st->valid |= ZIP_STAT_SIZE | ZIP_STAT_MTIME;
        return sizeof(zip_stat_t);
    }
};

zip_int64_t Dispatch(void *userdata, void *data, zip_uint64_t len, zip_source_cmd_t cmd) {
    auto *src = static_cast<TFileSource *>(userdata);
    switch (cmd) {
    case ZIP_SOURCE_OPEN:
        return src->Open();
    case ZIP_SOURCE_READ:
        return src->Read(data, len);
    case ZIP_SOURCE_CLOSE:
        src->Close();
        return 0;
    case ZIP_SOURCE_STAT:
        return src->Stat(data, len);
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&src->Error, data, len);
    case ZIP_SOURCE_FREE:
        src->Close();
        zip_error_fini(&src->Error);
        delete src;
        return 0;
    case ZIP_SOURCE_SUPPORTS:
        return ZIP_SOURCE_SUPPORTS_READABLE;
    default:
        src->Fail(ZIP_ER_OPNOTSUPP);
        return -1;
    }
}

} // namespace

zip_source_t *CreateFileSource(zip_t *archive, const TFileInfo &file, TSession &session,
                               zip_error_t *error) {
    auto *src = new (std::nothrow) TFileSource;
    if (!src) {
        zip_error_set(error, ZIP_ER_MEMORY, 0);
        return nullptr;
    }
    src->File = file;
    src->Session = &session;
    zip_error_init(&src->Error);
    zip_source_t *zs = zip_source_function(archive, Dispatch, src);
    if (!zs) {
        zip_error_set(error, ZIP_ER_MEMORY, 0);
        zip_error_fini(&src->Error);
        delete src;
    }
    return zs;
}

} // namespace zipdll
