// The packing step of a job: the pending files packed into archives in the
// Temp directory, one per file or one for all, attached in their place.
//
// An archive that was not made whole never reaches a mail: a failed one
// leaves its row with the error (or, for the one archive of all files, ends
// the program), a cancelled one is removed at once.
#include "app/FrmMain.h"
#include "app/Settings.h"
#include "platform/Text.h"

namespace pv {

namespace {

// Clears a flag when the scope ends, however it ends.
class TFlagScope {
  public:
    explicit TFlagScope(bool &flag) : flag_(flag) { flag_ = true; }
    ~TFlagScope() { flag_ = false; }
    TFlagScope(const TFlagScope &) = delete;
    TFlagScope &operator=(const TFlagScope &) = delete;

  private:
    bool &flag_;
};

// An old file of the archive's name would have the new files added to it.
std::string RemoveOldArchive(const std::string &archive) {
    if (!FileExists(archive) || DeleteFile(archive))
        return "";
    return "Cannot delete \"" + archive + "\". " + LastErrorText();
}

} // namespace

void TfrmMain::SetupZip() {
    Zip1.ShowProgressDialog = false;
    Zip1.OnZEDProgressEvent = [this](TObject *s, const std::string &name, std::int32_t done,
                                     std::int32_t total) {
        Zip1ZEDProgressEvent(s, name, done, total);
    };
}

void TfrmMain::Zip1ZEDProgressEvent(TObject *Sender, const std::string &, std::int32_t,
                                    std::int32_t) {
    if (app_.Terminated())
        static_cast<TZip *>(Sender)->Cancel = true;
}

void TfrmMain::StampForPacking() {
    TFileStamp stamp;
    // Taken before the library reads the file: a file changed while it is
    // packed no longer matches, so it is neither unmarked nor deleted.
    if (GetFileStamp(tblFiles.Current().FileName, stamp))
        tblFiles.SetStamp(stamp);
    else
        tblFiles.SetStamp(std::nullopt);
}

bool TfrmMain::AddToArchive(const std::string &archive) {
    const std::size_t expected = Zip1.FileSpecs.size();
    const std::int32_t count = Zip1.Add(false);
    if (Zip1.Cancel) {
        Zip1.SetFileName("");
        DeleteFile(archive);
        return false;
    }
    if (count < 0 || static_cast<std::size_t>(count) != expected)
        throw ZipException(IntToStr(count) + " of " + IntToStr(static_cast<int>(expected)) +
                           " files were added to \n\"" + archive + "\".");
    return true;
}

void TfrmMain::ZipFiles() {
    Zip1.SetFileName("");
    if (!cboxZip.Checked())
        return;
    Zip1.FileSpecs.clear();
    TFlagScope packing(packing_);

    bool announced = false;
    auto announce = [&] {
        if (announced)
            return;
        announced = true;
        ShowStatus("Compressing files");
        if (cboxVerbose.Checked())
            WriteLog("! Compressing files", true);
    };
    auto setField = [this](const char *field, const std::string &value) {
        tblFiles.Edit();
        tblFiles.FieldByName(field).SetAsString(value);
        tblFiles.Post();
    };

    if (cboxSingleFilePerMail.Checked()) {
        for (tblFiles.First(); NextPendingFile() && !app_.Terminated(); tblFiles.Next()) {
            const std::string file = tblFiles.Current().FileName;
            const std::string archive = TempDir() + ExtractFileName(file) + ".zip";
            // A name the field would cut could not be found, mailed or
            // removed again.
            std::string error = archive.size() > TFilesTable::ZFileNameSize
                                    ? std::string("File name too long")
                                    : RemoveOldArchive(archive);
            if (error.empty()) {
                setField("ZFileName", archive);
                Zip1.FileSpecs = {file};
                StampForPacking();
                announce();
                try {
                    Zip1.SetFileName(archive);
                    if (!AddToArchive(archive))
                        break; // the program is ending
                } catch (const Exception &e) {
                    error = e.Message();
                    Zip1.SetFileName("");
                    DeleteFile(archive);
                }
            }
            if (!error.empty()) {
                WriteLog("! " + error, true);
                setField("Error", error);
            }
        }
        Zip1.FileSpecs.clear();
        Zip1.SetFileName("");
        return;
    }

    // Only a plain name: the archive and its removal stay inside Temp.
    std::string &name = settings_.ZipName;
    name = ExtractFileName(name);
    if (!name.empty() && UpperCase(ExtractFileExt(name)) != ".ZIP")
        name = ChangeFileExt(name, ".zip");
    if (name.empty())
        name = "Package.zip";
    const std::string archive = TempDir() + name;
    if (archive.size() > TFilesTable::ZFileNameSize)
        throw ZipException("File name too long: \n\"" + archive + "\"");
    if (const std::string error = RemoveOldArchive(archive); !error.empty())
        throw ZipException(error);

    for (tblFiles.First(); !tblFiles.Eof(); tblFiles.Next()) {
        if (!tblFiles.Current().Pending())
            continue;
        Zip1.FileSpecs.push_back(tblFiles.Current().FileName);
        setField("ZFileName", archive);
        StampForPacking();
    }
    if (!Zip1.FileSpecs.empty()) {
        Zip1.SetFileName(archive);
        announce();
        AddToArchive(archive);
    }
    Zip1.SetFileName("");
}

} // namespace pv
