#include "zip/Zip.h"

#include <dlfcn.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/Application.h"
#include "platform/Dialogs.h"
#include "platform/Text.h"

namespace pv {

namespace {

// One library for the process, whichever TZip loaded it.
struct TLibrary {
    void *Handle = nullptr;
    TZipDllExec Exec = nullptr;
    TGetZipDllVersion Version = nullptr;
};
TLibrary gLibrary;

constexpr std::int32_t Bool32(bool b) {
    return b ? ZIPDLL_TRUE : ZIPDLL_FALSE;
}

std::string WithSlash(const std::string &dir) {
    return dir.empty() || dir.back() == '/' ? dir : dir + "/";
}

// Runs its action when the scope ends, however it ends.
template <class F> class TFinally {
  public:
    explicit TFinally(F f) : f_(std::move(f)) {}
    ~TFinally() { f_(); }
    TFinally(const TFinally &) = delete;
    TFinally &operator=(const TFinally &) = delete;

  private:
    F f_;
};

} // namespace

TZip::TZip() {
    ZipTempDir = TempDirectory();
    if (ZipTempDir.empty())
        ZipTempDir = AppDir();
}

TZip::~TZip() {
    UnloadDll();
}

void TZip::SetFileName(const std::string &name) {
    Password.clear();
    oemNames_ = false;
    endRecord_.fill(0);
    ZipComment.clear();
    endPosition_ = -1;
    std::uint32_t sig = kEndSignature;
    for (int i = 0; i < 4; ++i)
        endRecord_[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(sig >> (8 * i));
    entries_.clear();
    fileName_ = name;
    if (!name.empty())
        OpenArchive();
    if (OnContentsChanged)
        OnContentsChanged(this);
}

// ---- the library ----

bool TZip::DllLoaded() {
    return gLibrary.Handle != nullptr;
}

bool TZip::LoadDll() {
    if (gLibrary.Handle)
        return true;
    std::string path = WithSlash(DllDirectory.empty() ? AppDir() : DllDirectory) + ZIPDLL_FILE_NAME;
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return false;
    auto exec = reinterpret_cast<TZipDllExec>(dlsym(handle, "ZipDllExec"));
    auto version = reinterpret_cast<TGetZipDllVersion>(dlsym(handle, "GetZipDllVersion"));
    if (!exec || !version || version() < ZIPDLL_INTERFACE_VERSION) {
        dlclose(handle);
        return false;
    }
    gLibrary = {handle, exec, version};
    return true;
}

void TZip::UnloadDll() {
    if (gLibrary.Handle)
        dlclose(gLibrary.Handle);
    gLibrary = {};
}

// ---- adding ----

std::int32_t TZip::Add(bool NoBackup) {
    std::string backup;
    bool keepBackup = false;
    TFinally cleanup([&] {
        RootDir.clear();
        if (!backup.empty() && !keepBackup)
            DeleteFile(backup);
    });

    auto refuse = [](const char *text) {
        MessageBox(text, Application().Title, MB_OK | MB_ICONINFORMATION);
        return 0;
    };
    if (fileName_.empty())
        return refuse("A Zip file must be openned or created before\nAdding, Deleting or "
                      "Extracting files.");
    if (FileSpecs.empty())
        return refuse("No files have been selected.");
    if (DiskNumber() > 0)
        return refuse("Cannot Add, Delete or Extract from a multiple disk Zip file...\nMerge "
                      "this Zip file onto the hard disk before retrying.");
    if (!LoadDll())
        throw ZipException("Unable to load \"" ZIPDLL_FILE_NAME "\".");

    if (!NoBackup) {
        backup = CreateTempFile("zzz");
        // The copy takes the archive's mode; the backup is for us alone.
        if (backup.empty() || !CopyFile(fileName_, backup, false) ||
            chmod(backup.c_str(), 0600) != 0)
            throw ZipException("Unable to create \n\"" +
                               (backup.empty() ? TempDirectory() + "zzz" : backup) + "\"");
    }

    // Anything but a complete add puts the archive back as it was.
    auto restore = [&] {
        if (backup.empty())
            return;
        if (!CopyFile(backup, fileName_, false)) {
            keepBackup = true;
            throw ZipException("Unable to restore \n\"" + fileName_ + "\"\nfrom its copy \"" +
                               backup + "\".");
        }
    };
    std::int32_t count;
    try {
        count = RunLibrary();
    } catch (...) {
        restore();
        throw;
    }
    bool failed = count < 0;
    bool incomplete = !Cancel && !failed && skippedCount_ > 0;
    bool restored = (Cancel || failed || incomplete) && !backup.empty();
    if (restored)
        restore();
    // Put back, the archive is what Entries already shows.
    if (!restored && count > 0) {
        ReadDirectory();
        if (OnContentsChanged)
            OnContentsChanged(this);
    }
    if (failed && !Cancel)
        throw ZipException("Unable to add files to \n\"" + fileName_ + "\"" +
                           (lastMessage_.empty() ? "." : ":\n" + lastMessage_));
    if (incomplete)
        throw ZipException(IntToStr(skippedCount_) +
                           " of the selected files could not be added to \n\"" + fileName_ + "\"" +
                           (skipReason_.empty() ? "." : ":\n" + skipReason_));
    return count;
}

std::int32_t TZip::RunLibrary() {
    Cancel = false;
    callbackException_ = nullptr;
    lastMessage_.clear();
    skipReason_.clear();
    batchCount_ = totalBytesInBatch_ = skippedCount_ = 0;
    bytesDone_ = 0;
    currentFile_.clear();

    std::string savedDir;
    if (!RootDir.empty() && DirectoryExists(RootDir)) {
        char cwd[PATH_MAX];
        savedDir = getcwd(cwd, sizeof cwd) ? cwd : "";
        if (chdir(RootDir.c_str()) != 0)
            throw ZipException("Unable to change to the directory \n\"" + RootDir + "\"");
    }
    TFinally backToDir([&] {
        if (!savedDir.empty() && chdir(savedDir.c_str()) != 0) {
            // The old directory is gone; nothing depends on it.
        }
    });
    if ((AddOptions & ZipBit(3)) && !RootDir.empty())
        for (auto &spec : FileSpecs)
            if (spec.empty() || spec[0] != '/')
                spec = WithSlash(RootDir) + spec;

    const bool bit0 = AddOptions & ZipBit(0), bit1 = AddOptions & ZipBit(1);
    const bool bit2 = AddOptions & ZipBit(2), bit3 = AddOptions & ZipBit(3);
    const std::string comment = ZipComment.empty() ? ""
                                : oemNames_        ? SystemToOem(ZipComment)
                                                   : ZipComment;
    const std::string root = RootDir.empty() ? "" : WithSlash(RootDir);
    const bool encrypt = !Password.empty();

    TZipExecParams p;
    std::memset(&p, 0, sizeof p);
    p.Caller = this;
    p.Version = ZIPDLL_INTERFACE_VERSION;
    p.Callback = &TZip::LibraryCallback;
    p.Trace = Bool32(Trace);
    p.Password = encrypt ? Password.c_str() : nullptr;
    p.Encrypt = Bool32(encrypt);
    p.Option32 = Bool32(AddOptions & ZipBit(6));
    p.Option44 = Bool32(!(AddOptions & ZipBit(4)));
    p.Option56 = ZIPDLL_TRUE;
    p.Option60 = 9;
    p.Option72 = Bool32(!bit2 && !bit3);
    p.Flag76 = bit2 ? 0xFFFF : 0;
    p.Adding = ZIPDLL_TRUE;
    p.Option84 = Bool32(AddOptions & ZipBit(7));
    p.Removing = ZIPDLL_FALSE;
    p.JunkDirs = Bool32(bit1);
    p.Option100 = Bool32(!bit1 && bit0);
    p.SpecCount = static_cast<std::int32_t>(FileSpecs.size());
    p.ArchiveName = fileName_.c_str();
    p.TempDir = ZipTempDir.c_str();
    p.Comment = comment.empty() ? nullptr : comment.c_str();
    p.Option212 = 7;
    std::vector<TZipFileSpec> specs(FileSpecs.size());
    for (std::size_t i = 0; i < specs.size(); ++i) {
        std::memset(&specs[i], 0, sizeof specs[i]);
        specs[i].FileSpec = FileSpecs[i].c_str();
        specs[i].Password = p.Password;
        specs[i].Encrypt = p.Encrypt;
        specs[i].Flag76 = p.Flag76;
        specs[i].RootDir = root.c_str();
    }
    p.Specs = specs.data();

    TFinally release([&] {
        traceStream_.reset();
        if (progressForm_)
            progressForm_->Hide();
        progressForm_.reset();
    });
    if (Trace) {
        try {
            traceStream_ =
                std::make_unique<TFileStream>(ChangeFileExt(ExeName(), ".trace"), fmCreate);
        } catch (const Exception &e) {
            throw ZipException(e.Message());
        }
    }
    if (ShowProgressDialog) {
        progressForm_ = std::make_unique<TProgressForm>(Application().Title);
        progressForm_->OnCancel = [this] { Cancel = true; };
        progressForm_->Show();
    }

    std::int32_t count = gLibrary.Exec(&p);
    if (callbackException_)
        std::rethrow_exception(callbackException_);
    FileSpecs.clear();
    return count;
}

} // namespace pv
