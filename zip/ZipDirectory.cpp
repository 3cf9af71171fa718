// Opening an archive and reading its central directory. Everything read from
// the file is checked against what was actually read: a damaged or hostile
// archive gives an error, never a read outside what the file holds.
#include <algorithm>
#include <memory>
#include <vector>

#include "platform/Application.h"
#include "platform/Dialogs.h"
#include "platform/Text.h"
#include "zip/Zip.h"

namespace pv {

namespace {

constexpr std::int64_t kScanWindow = 65535;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064B50;
constexpr std::uint32_t kZip64EndSignature = 0x06064B50;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::size_t kZip64EndSize = 56;
constexpr std::uint16_t kUtf8Flag = 0x0800;

std::uint16_t Get16(const std::uint8_t *p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
std::uint32_t Get32(const std::uint8_t *p) {
    return Get16(p) | static_cast<std::uint32_t>(Get16(p + 2)) << 16;
}
std::uint64_t Get64(const std::uint8_t *p) {
    return Get32(p) | static_cast<std::uint64_t>(Get32(p + 4)) << 32;
}

std::string NotValid(const std::string &path) {
    return "\"" + path + "\"\nis not a valid Zip file.";
}

std::string WithNumber(const char *format, int n) {
    std::string s = format;
    return s.replace(s.find("%d"), 2, std::to_string(n));
}

// As many of count bytes as the file holds from its current position.
std::size_t ReadSome(TFileStream &f, void *buffer, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        std::size_t n = f.Read(static_cast<char *>(buffer) + done, count - done);
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

bool ReadAt(TFileStream &f, std::int64_t pos, void *buffer, std::size_t count) {
    if (pos < 0 || pos > f.Size())
        return false;
    f.Seek(pos, soFromBeginning);
    return ReadSome(f, buffer, count) == count;
}

bool ReadText(TFileStream &f, std::size_t count, std::string &text) {
    text.assign(count, '\0');
    return ReadSome(f, text.data(), count) == count;
}

// The end record's offset, or -1: the last 22 bytes, else the last hit of
// its signature scanning back through the last 64 KB.
std::int64_t FindEndRecord(TFileStream &f) {
    const std::int64_t size = f.Size();
    if (size < static_cast<std::int64_t>(TZip::kEndRecordSize))
        return -1;
    std::uint8_t rec[TZip::kEndRecordSize];
    const std::int64_t last = size - static_cast<std::int64_t>(TZip::kEndRecordSize);
    if (ReadAt(f, last, rec, sizeof rec) && Get32(rec) == TZip::kEndSignature)
        return last;
    const std::int64_t window = std::min(size, kScanWindow);
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(window));
    if (!ReadAt(f, size - window, buf.data(), buf.size()))
        return -1;
    for (std::int64_t i = window - static_cast<std::int64_t>(TZip::kEndRecordSize); i >= 0; --i)
        if (Get32(&buf[static_cast<std::size_t>(i)]) == TZip::kEndSignature)
            return size - window + i;
    return -1;
}

// Where the 64-bit end record of an archive beyond the 32-bit limits sits,
// and what it holds; false when there is none.
bool ReadZip64End(TFileStream &f, std::int64_t endPos, std::int64_t &base, std::uint64_t &entries,
                  std::uint64_t &cdSize, std::uint64_t &cdOffset) {
    std::uint8_t loc[kZip64LocatorSize];
    std::int64_t locPos = endPos - static_cast<std::int64_t>(kZip64LocatorSize);
    if (!ReadAt(f, locPos, loc, sizeof loc) || Get32(loc) != kZip64LocatorSignature)
        return false;
    std::uint8_t rec[kZip64EndSize];
    // Where the locator says, or just before it when data precedes the archive.
    std::uint64_t stated = Get64(loc + 8);
    std::int64_t candidates[] = {
        stated <= static_cast<std::uint64_t>(locPos) ? static_cast<std::int64_t>(stated) : -1,
        locPos - static_cast<std::int64_t>(kZip64EndSize)};
    for (std::int64_t pos : candidates) {
        if (ReadAt(f, pos, rec, sizeof rec) && Get32(rec) == kZip64EndSignature) {
            base = pos;
            entries = Get64(rec + 32);
            cdSize = Get64(rec + 40);
            cdOffset = Get64(rec + 48);
            return true;
        }
    }
    return false;
}

} // namespace

int TZip::DiskNumber() const {
    return Get16(&endRecord_[4]);
}

void TZip::OpenArchive() {
    TVolumeInfo volume;
    if (!VolumeQuery || !VolumeQuery(fileName_, volume))
        throw ZipException("Unable to access the selected drive!");
    if (!FileExists(fileName_)) {
        std::uint8_t empty[kEndRecordSize] = {0x50, 0x4B, 0x05, 0x06};
        bool created = false;
        try {
            TFileStream f(fileName_, fmCreateNew);
            created = true;
            f.Write(empty, sizeof empty);
        } catch (const Exception &) {
            if (created)
                DeleteFile(fileName_);
            throw ZipException("Unable to create \n\"" + fileName_ + "\"");
        }
    }
    ReadDirectory();
}

bool TZip::SpannedDisk(int &disk) {
    TVolumeInfo volume;
    if (!FileExists(fileName_) || !VolumeQuery || !VolumeQuery(fileName_, volume) ||
        !volume.Removable || volume.Label.compare(0, 8, "PKBACK# ") != 0)
        return false;
    disk = StrToIntDef(volume.Label.substr(8, 3), 0);
    return true;
}

// Cancel is the default answer, so that a run without a user gives up
// instead of asking for ever.
bool TZip::AskForDisk(int disk) {
    for (;;) {
        int inserted = -1;
        if (SpannedDisk(inserted) && inserted == disk)
            return true;
        if (MessageBox(WithNumber("Insert [ Disk %d ] of the Zip file into the floppy "
                                  "drive\nbefore pressing [ OK ] to continue ...",
                                  disk),
                       Application().Title, MB_OKCANCEL | MB_DEFBUTTON2) != IDOK)
            return false;
    }
}

void TZip::ReadDirectory() {
    entries_.clear();
    if (fileName_.empty())
        return;
    std::unique_ptr<TFileStream> f;
    auto open = [&] {
        f.reset();
        try {
            f = std::make_unique<TFileStream>(fileName_, fmOpenRead | fmShareDenyWrite);
        } catch (const Exception &e) {
            throw ZipException(e.Message());
        }
    };
    auto fail = [&] {
        entries_.clear();
        return ZipException("Error reading CentralFileHeader.");
    };

    open();
    std::int64_t endPos;
    try {
        while ((endPos = FindEndRecord(*f)) < 0) {
            int disk = 0;
            if (!SpannedDisk(disk))
                throw ZipException(NotValid(fileName_));
            f.reset();
            if (MessageBox(WithNumber("This is [ Disk %d ] of a multiple disk Zip file.\nInsert "
                                      "the last disk of the Zip file before pressing [ OK ] to "
                                      "continue ...",
                                      disk),
                           Application().Title,
                           MB_OKCANCEL | MB_ICONINFORMATION | MB_DEFBUTTON2) != IDOK)
                return;
            open();
        }
        ReadAt(*f, endPos, endRecord_.data(), kEndRecordSize);
    } catch (const ZipException &) {
        throw;
    } catch (const Exception &e) {
        throw ZipException(e.Message());
    }
    endPosition_ = endPos;
    const std::uint8_t *rec = endRecord_.data();
    const int thisDisk = Get16(rec + 4), cdDisk = Get16(rec + 6);
    std::uint64_t total = Get16(rec + 10), cdSize = Get32(rec + 12), cdOffset = Get32(rec + 16);
    if (thisDisk > 1000 || cdDisk > 1000)
        throw ZipException(NotValid(fileName_));

    std::string comment;
    try {
        f->Seek(endPos + static_cast<std::int64_t>(kEndRecordSize), soFromBeginning);
        if (!ReadText(*f, Get16(rec + 20), comment))
            comment.clear();
    } catch (const Exception &) {
        comment.clear();
    }
    // A converted comment follows the names' code page, as this reading finds it.
    auto setComment = [&] { ZipComment = oemNames_ ? OemToSystem(comment) : comment; };

    std::int64_t base = endPos;
    if (total == 0xFFFF || cdSize == 0xFFFFFFFF || cdOffset == 0xFFFFFFFF) {
        try {
            ReadZip64End(*f, endPos, base, total, cdSize, cdOffset);
        } catch (const Exception &) {
            throw fail();
        }
    }
    if (total == 0) {
        setComment();
        return;
    }
    if (cdDisk != thisDisk) {
        f.reset();
        if (!AskForDisk(cdDisk)) {
            setComment();
            return;
        }
        open();
    }

    try {
        // Relative to the end record, so that data in front of the archive
        // (a self-extracting stub) does not matter.
        std::int64_t cdPos = thisDisk > 0 ? static_cast<std::int64_t>(cdOffset)
                                          : base - static_cast<std::int64_t>(cdSize);
        if (cdPos < 0 || cdSize > static_cast<std::uint64_t>(base))
            throw fail();
        f->Seek(cdPos, soFromBeginning);
        for (std::uint64_t i = 0; i < total; ++i) {
            TZipDirEntry e;
            std::size_t got = ReadSome(*f, e.Header.data(), e.Header.size());
            if (got < e.Header.size()) {
                // On a spanned set the directory goes on on the next disk.
                int inserted = -1;
                if (thisDisk == 0 || !SpannedDisk(inserted) || inserted > thisDisk)
                    throw fail();
                f.reset();
                if (!AskForDisk(inserted + 1)) {
                    entries_.clear();
                    setComment();
                    return;
                }
                open();
                f->Seek(0, soFromBeginning);
                if (ReadSome(*f, e.Header.data(), e.Header.size()) != e.Header.size())
                    throw fail();
            }
            if (e.U32(0) != TZipDirEntry::kSignature)
                throw fail();
            if (i == 0) {
                const int host = e.VersionMadeBy() >> 8, version = e.VersionMadeBy() & 0xFF;
                oemNames_ = host == 0 || host == 6 || (host == 11 && version == 50);
            }
            e.Encrypted = e.Flags() & 1;
            if (!ReadText(*f, e.FileNameLength(), e.FileName) ||
                !ReadText(*f, e.ExtraFieldLength(), e.ExtraField) ||
                !ReadText(*f, e.FileCommentLength(), e.FileComment))
                throw fail();
            // Names flagged as UTF-8 are never OEM, whatever the archive's maker.
            if (oemNames_ && !(e.Flags() & kUtf8Flag)) {
                e.FileName = OemToSystem(e.FileName);
                e.FileComment = OemToSystem(e.FileComment);
            }
            std::replace(e.FileName.begin(), e.FileName.end(), '/', '\\');
            entries_.push_back(std::move(e));
        }
    } catch (const ZipException &) {
        entries_.clear();
        throw;
    } catch (const Exception &) {
        throw fail();
    }
    setComment();
}

} // namespace pv
