// TZip: packs files into a ZIP archive by driving the ZIP library, which it
// loads at run time, and follows its progress through the library's
// callback. Of the archive itself it knows enough to create an empty one and
// to read its central directory into Entries. While files are added it keeps
// a backup copy of the archive and puts it back when the operation is
// cancelled or fails, and it can show a progress window.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/Object.h"
#include "platform/ui/Control.h"
#include "platform/ui/ProgressForm.h"
#include "zip/ZipDirEntry.h"
#include "zip/ZipException.h"
#include "zip/ZipVolume.h"
#include "zipdll/ZipDllApi.h"

namespace pv {

using TZEDBeginFileEvent =
    std::function<void(TObject *Sender, const std::string &Filename, std::int32_t FileSize,
                       std::int32_t BatchCount, std::int32_t TotalBytesInBatch)>;
using TProgressEvent = std::function<void(TObject *Sender, const std::string &Filename,
                                          std::int32_t BytesDone, std::int32_t TotalBytes)>;
using TZEDEndBatchEvent =
    std::function<void(TObject *Sender, std::int32_t SkippedCount, std::int32_t BatchCount,
                       std::int32_t TotalBytesInBatch)>;

// Bits of AddOptions and ExtractOptions.
constexpr std::uint8_t ZipBit(int n) {
    return static_cast<std::uint8_t>(1u << n);
}

class TZip : public TObject {
  public:
    static constexpr std::size_t kEndRecordSize = 22;
    static constexpr std::uint32_t kEndSignature = 0x06054B50;

    TZip();
    ~TZip() override;
    TZip(const TZip &) = delete;
    TZip &operator=(const TZip &) = delete;

    // Setting it resets the state and, for a non-empty name, opens the
    // archive: creates an empty one when the file does not exist, then reads
    // its directory (ZipException on failure). An empty name closes it.
    const std::string &FileName() const { return fileName_; }
    void SetFileName(const std::string &name);

    std::string Password;               // cleared whenever FileName is set
    std::string DllDirectory;           // where the library is loaded from; empty: AppDir
    std::string ZipTempDir;             // handed to the library
    std::vector<std::string> FileSpecs; // paths to add; emptied by an Add that ran the library
    std::string ZipComment;             // the archive's comment
    bool Cancel = false;                // stops a running Add
    bool ShowProgressDialog = true;
    bool Trace = false;                  // library messages to <program>.trace
    std::string RootDir;                 // base of relative specs; cleared by every Add
    std::uint8_t AddOptions = ZipBit(1); // never changed by the program
    std::uint8_t ExtractOptions = ZipBit(0);

    bool OemNames() const { return oemNames_; }
    const std::vector<TZipDirEntry> &Entries() const { return entries_; }
    const std::array<std::uint8_t, kEndRecordSize> &EndRecord() const { return endRecord_; }
    // Offset of the end record; -1 when no archive is open.
    std::int64_t EndPosition() const { return endPosition_; }
    std::int32_t BatchCount() const { return batchCount_; }
    std::int32_t TotalBytesInBatch() const { return totalBytesInBatch_; }
    std::int32_t SkippedCount() const { return skippedCount_; }
    // The progress window: exists only during an Add that shows it.
    TProgressForm *ProgressForm() const { return progressForm_.get(); }

    TNotifyEvent OnContentsChanged;
    TZEDBeginFileEvent OnZEDBeginFileEvent;
    TProgressEvent OnZEDProgressEvent;
    TZEDEndBatchEvent OnZEDEndBatchEvent;
    TNotifyEvent OnMergeProgress; // declared, never raised
    TNotifyEvent OnSpanProgress;  // declared, never raised

    // The library is loaded once for the process. True when it is loaded
    // and reports a usable version.
    bool LoadDll();
    void UnloadDll();
    static bool DllLoaded();

    // Adds every path of FileSpecs; returns the number of files the library
    // processed. A refused call (no archive, no files, a spanned archive)
    // shows why and returns 0. A cancel puts the archive back as it was; a
    // library failure, or files the library had to skip, do too and raise
    // ZipException.
    std::int32_t Add(bool NoBackup);

    // The callback handed to the library; public for the library's tests.
    static std::int32_t LibraryCallback(TZipCallbackInfo *info);

    // How volumes are queried (tests put removable disks here).
    std::function<bool(const std::string &path, TVolumeInfo &info)> VolumeQuery = GetVolumeInfo;

  private:
    // Reading the archive.
    void OpenArchive();
    void ReadDirectory();
    bool SpannedDisk(int &disk);
    bool AskForDisk(int disk);
    int DiskNumber() const; // number of this disk, from the end record

    // Adding.
    std::int32_t RunLibrary();
    std::int32_t Callback(TZipCallbackInfo &info);
    void HandleAction(TZipCallbackInfo &info);
    void AskPassword(TZipCallbackInfo &info);
    void AskCrcError(TZipCallbackInfo &info);
    void AskOverwrite(TZipCallbackInfo &info);
    void HideProgress();
    void ShowProgressAgain();

    std::string fileName_;
    bool oemNames_ = false;
    std::vector<TZipDirEntry> entries_;
    std::array<std::uint8_t, kEndRecordSize> endRecord_{};
    std::int64_t endPosition_ = -1;

    float progressScale_ = 1;
    std::unique_ptr<TProgressForm> progressForm_;
    std::unique_ptr<TFileStream> traceStream_;
    std::string currentFile_;
    std::int32_t batchCount_ = 0;
    std::int32_t totalBytesInBatch_ = 0;
    std::int64_t bytesDone_ = 0;
    std::int32_t skippedCount_ = 0;
    std::string lastMessage_;              // the library's last message: the reason of a failure
    std::string skipReason_;               // the message before the first skip
    std::exception_ptr callbackException_; // raised by a handler inside the callback
};

} // namespace pv
