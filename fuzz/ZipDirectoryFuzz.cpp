// The ZIP directory reader of TZip on arbitrary archive files, on a fixed
// disk or on a disk of a spanned set, with the user answering the disk
// requests.
//
// Input: an options byte, then the archive's bytes. Options: bits 0-1 the
// volume (0 a fixed disk, 1 a removable disk labelled as a disk of a spanned
// set, 2 a removable disk with another label, 3 a volume that cannot be
// reached), bits 2-4 the number of the disk in the drive, bits 5-6 how many
// disk requests the user answers with OK (each OK puts the next disk in)
// before Cancel, bit 7 no archive file at all.
//
// Findings: anything the sanitizers see; an exception other than
// ZipException; entries that do not hold what their headers say; a disk
// request asked again after the user cancelled.
#include <fstream>

#include "fuzz/FuzzSupport.h"
#include "platform/Dialogs.h"
#include "zip/Zip.h"

namespace pv::fuzz {
namespace {

class Answers : public TDialogService {
  public:
    int ok = 0;       // OK answers left
    int asked = 0;    // requests shown
    int inserted = 0; // disks put in by OK answers
    bool cancelled = false;

    int ShowMessage(const TMessageRequest &) override {
        ++asked;
        Check(asked < 64, "the disk requests do not end");
        if (ok > 0) {
            --ok;
            ++inserted;
            return IDOK;
        }
        cancelled = true;
        return IDCANCEL;
    }
    bool InputQuery(const std::string &, const std::string &, std::string &) override {
        Fail("the directory reader asked for input");
    }
    bool BrowseForFolder(const TBrowseRequest &, std::string &) override {
        Fail("the directory reader asked for a folder");
    }
    bool ShellOpen(const std::string &) override { return false; }
};

} // namespace
} // namespace pv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace pv::fuzz;
    const Input input(data, size);
    static const std::string file = ScratchDir() + "archive.zip";
    std::remove(file.c_str());
    std::string archive;
    if (size > 1)
        archive.assign(reinterpret_cast<const char *>(data) + 1, size - 1);
    if (!(input.Options & 0x80))
        std::ofstream(file, std::ios::binary) << archive;

    Answers answers;
    answers.ok = (input.Options >> 5) & 3;
    pv::SetDialogService(&answers);
    const int volume = input.Options & 3, disk = (input.Options >> 2) & 7;
    {
        pv::TZip zip;
        zip.VolumeQuery = [&](const std::string &, pv::TVolumeInfo &info) {
            if (volume == 3)
                return false;
            info.Removable = volume != 0;
            const int number = disk + answers.inserted;
            info.Label = volume == 1 ? "PKBACK# " + std::string(number < 10 ? "00" : "0") +
                                           std::to_string(number)
                                     : "BACKUP";
            return true;
        };
        try {
            zip.SetFileName(file);
            for (const pv::TZipDirEntry &e : zip.Entries()) {
                Check(e.ExtraField.size() == e.ExtraFieldLength(),
                      "an extra field of another length than its header says");
                Check(e.FileName.find('/') == std::string::npos, "a name still holding '/'");
                if (!zip.OemNames() || (e.Flags() & 0x0800)) {
                    Check(e.FileName.size() == e.FileNameLength() &&
                              e.FileComment.size() == e.FileCommentLength(),
                          "a name or comment of another length than its header says");
                }
                Check(e.Encrypted == (e.Flags() & 1), "Encrypted differs from the flags");
            }
            Check(answers.cancelled || zip.EndPosition() >= 0, "no end record, yet no error");
            Check(zip.EndPosition() < 0 ||
                      zip.EndPosition() + 22 <=
                          static_cast<std::int64_t>(std::max<std::size_t>(archive.size(), 22)),
                  "the end record lies outside the file");
            if (input.Options & 0x80)
                Check(zip.Entries().empty(), "entries in a new archive");
        } catch (const pv::ZipException &) {
            Check(zip.Entries().empty(), "entries kept after a failed reading");
        } catch (const std::exception &e) {
            Fail(std::string("an exception other than ZipException: ") + e.what());
        }
        Check(answers.asked <= 3 * ((input.Options >> 5 & 3) + 1),
              "a disk asked for again after the user cancelled");
    }
    pv::SetDialogService(nullptr);
    return 0;
}
