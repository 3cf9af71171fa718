// The settings: the INI file's SETUP section loaded into the controls and
// saved from them, the field checks, the ZIP name dialog, and the helpers
// they use.
#include "app/Settings.h"

#include "app/FrmAuth.h"
#include "app/FrmMain.h"
#include "platform/Dialogs.h"
#include "platform/FileSystem.h"
#include "platform/Profile.h"
#include "platform/Text.h"

namespace pv {

namespace {

const std::string kSetup = "SETUP";

// A value as a C-string profile reader would hand it over: it ends at the
// first NUL, and a stray CR or LF ends its line. Keeps binary junk in a hand-
// edited file from reaching a write that would refuse it.
std::string ReadText(const std::string &file, const std::string &key, const std::string &def) {
    std::string v = GetPrivateProfileString(kSetup, key, def, file);
    std::size_t cut = v.find_first_of(std::string("\0\r\n", 3));
    if (cut != std::string::npos)
        v.erase(cut);
    return v;
}

int ReadInt(const std::string &file, const std::string &key, int def) {
    return GetPrivateProfileInt(kSetup, key, def, file);
}

bool ReadBool(const std::string &file, const std::string &key, bool def) {
    return ReadInt(file, key, def ? 1 : 0) != 0;
}

void Write(const std::string &file, const std::string &key, const std::string &value) {
    WritePrivateProfileString(kSetup, key, value, file);
}

void WriteBool(const std::string &file, const std::string &key, bool value) {
    Write(file, key, value ? "1" : "0");
}

// Whether the scrambled form survives the trip through the file: the profile
// reader drops blanks and a pair of quotes around a value, the load trims
// control characters, and no line break or NUL can be written at all.
bool StoresIntact(const std::string &stored) {
    if (stored.find_first_of(std::string("\0\r\n", 3)) != std::string::npos)
        return false;
    std::string v = stored;
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t'))
        v.erase(0, 1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t'))
        v.pop_back();
    if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0])
        v = v.substr(1, v.size() - 2);
    return Trim(v) == stored;
}

} // namespace

// ---- helpers ----

std::string ScramblePassword(const std::string &text) {
    std::string s = text;
    for (char &c : s)
        c = static_cast<char>(static_cast<unsigned char>(c) ^ 0x80);
    return s;
}

TMailbox ParseMailbox(const std::string &text) {
    TMailbox r;
    const auto npos = std::string::npos;
    const bool hasLt = text.find('<') != npos;
    std::size_t i = text.find_first_not_of(' ');
    if (i == npos)
        return r;
    auto between = [&](std::size_t lt) {
        std::size_t gt = text.find('>', lt + 1);
        return text.substr(lt + 1, gt == npos ? npos : gt - lt - 1);
    };
    const char q = text[i];
    if (q == '"' || q == '\'') {
        std::size_t close = text.find(q, i + 1);
        r.Name = text.substr(i + 1, close == npos ? npos : close - i - 1);
        std::size_t after = close == npos ? text.size() : close + 1;
        if (hasLt) {
            std::size_t lt = text.find('<', after);
            if (lt != npos)
                r.Address = between(lt);
        } else {
            r.Address = Trim(text.substr(after));
        }
    } else if (hasLt) {
        std::size_t lt = text.find('<', i);
        r.Name = Trim(text.substr(i, lt - i));
        r.Address = between(lt);
    } else {
        std::size_t sp = text.find(' ', i);
        r.Name = Trim(text.substr(i, sp == npos ? npos : sp - i));
        if (sp != npos)
            r.Address = Trim(text.substr(sp + 1));
    }
    if (r.Address.empty() && r.Name.find('@') != npos) {
        r.Address = r.Name;
        r.Name.clear();
    }
    return r;
}

std::string NormalizeAddress(const std::string &text) {
    TMailbox m = ParseMailbox(text);
    if (m.Address.empty())
        return "";
    if (m.Name.empty())
        return Trim(m.Address);
    return "\"" + Trim(m.Name) + "\" <" + Trim(m.Address) + ">";
}

std::string AddBackslash(const std::string &path) {
    if (!path.empty() && path.back() == '/')
        return path;
    return path + "/";
}

std::string RemoveBackslash(const std::string &path) {
    if (path.size() > 1 && path.back() == '/')
        return path.substr(0, path.size() - 1);
    return path;
}

bool IsDirectory(const std::string &path) {
    std::uint32_t attr = GetFileAttributes(path);
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
}

bool CreateDirPath(const std::string &path) {
    if (path.empty())
        throw Exception("Unable to create directory");
    std::string dir = RemoveBackslash(path);
    if (dir == "/" || IsDirectory(dir))
        return true;
    std::string parent = ExtractFilePath(dir);
    if (parent.empty()) // relative, below the current directory
        return CreateDirectory(dir);
    parent = RemoveBackslash(parent);
    if (parent == dir)
        return true;
    return CreateDirPath(parent) && CreateDirectory(dir);
}

// ---- load and save ----

void TfrmMain::LoadSettings() {
    const std::string &f = iniFile_;
    settings_.AuthMode = static_cast<std::uint16_t>(ReadInt(f, "Authentication", 0));
    cboxAuth.SetChecked(settings_.AuthMode != 0);
    btnAuth.SetEnabled(cboxAuth.Checked());
    settings_.ZipName = ReadText(f, "ZIPFileName", "Package.zip");
    settings_.Pop3Host = Trim(ReadText(f, "Pop3Host", "pop3.example.com"));
    settings_.Pop3Port = ReadText(f, "Pop3Port", "110");
    settings_.UserName = Trim(ReadText(f, "UserName", "User or Account"));
    settings_.Password = ScramblePassword(Trim(ReadText(f, "Password", "Password")));
    settings_.APop = ReadBool(f, "APop", false);
    if (frmAuth_) {
        frmAuth_->edUser.SetText(settings_.UserName);
        frmAuth_->edPwd.SetText(settings_.Password);
        frmAuth_->cbApop.SetChecked(settings_.APop);
        frmAuth_->edHost.SetText(settings_.Pop3Host);
        frmAuth_->spinPort.SetValue(StrToIntDef(settings_.Pop3Port, 0));
        frmAuth_->rgAuthType.SetItemIndex(settings_.AuthMode);
    }
    edPollDir.SetText(Trim(ReadText(f, "PollDir", "/tmp")));
    settings_.RememberedPollDir = edPollDir.Text();
    edHost.SetText(Trim(ReadText(f, "Host", "smtp.example.com")));
    spinPort.SetValue(ReadInt(f, "HostPort", 25));
    edTo.SetText(Trim(ReadText(f, "To", "recipient@example.com")));
    edCC.SetText(Trim(ReadText(f, "Cc", "cc1@example.com;cc2@example.com")));
    edBcc.SetText(Trim(ReadText(f, "Bcc", "bcc1@example.com;bcc2@example.com")));
    edFrom.SetText(Trim(ReadText(f, "From", "postvane@example.com")));
    settings_.RememberedFrom = edFrom.Text();
    edSubject.SetText(Trim(ReadText(f, "Subject", "Mail from Postvane")));
    int unit = ComboTime.IndexOf(UpperCase(ReadText(f, "TimeUnit", "M")));
    ComboTime.SetItemIndex(unit < 0 ? 1 : unit);
    int interval = ReadInt(f, "PollInterval", 2);
    spinPollMin.SetValue(interval > 596 ? 596 : interval);
    cboxLogging.SetChecked(ReadBool(f, "Log", true));
    cboxBackup.SetChecked(ReadBool(f, "Backup", false));
    cboxDelete.SetChecked(ReadBool(f, "Delete", false));
    cboxArchive.SetChecked(ReadBool(f, "Archive", false));
    cboxPollOnStart.SetChecked(ReadBool(f, "StartInTimerMode", false));
    cboxZip.SetChecked(ReadBool(f, "ZipCompression", false));
    cboxFilenames.SetChecked(ReadBool(f, "AppendFileNames", false));
    int charset = ComboCharset.IndexOf(LowerCase(ReadText(f, "Charset", "us-ascii")));
    ComboCharset.SetItemIndex(charset < 0 ? 1 : charset);
    cboxSingleFilePerMail.SetChecked(ReadBool(f, "SingleFilePerMail", false));
    edExtensions.SetText(Trim(ReadText(f, "FileSelection", "mylog.txt;*.txt;*.wa?;img10?.bmp")));
    settings_.RememberedFileSelection = edExtensions.Text();
    cboxRunOnce.SetChecked(ReadBool(f, "RunOnceExit", false));
    cboxVerbose.SetChecked(ReadBool(f, "VerboseLogging", false));
    if (cboxRunOnce.Checked())
        cboxPollOnStart.SetChecked(true);
    if (cboxVerbose.Checked())
        cboxLogging.SetChecked(true);

    if (!FileExists(BodyFileName())) {
        try {
            TFileStream body(BodyFileName(), fmCreateNew | fmShareExclusive);
            body.Write("Sample message text **double click to zoom in**\r\n");
        } catch (const Exception &) {
            // The message text then comes from the window alone.
        }
    }
}

void TfrmMain::SaveSettings() {
    const std::string &f = iniFile_;
    if (frmAuth_) {
        // A dialog with nothing selected counts as "None".
        int index = frmAuth_->rgAuthType.ItemIndex();
        settings_.AuthMode = static_cast<std::uint16_t>(index < 0 ? 0 : index);
        settings_.Pop3Host = Trim(frmAuth_->edHost.Text());
        settings_.Pop3Port = IntToStr(frmAuth_->spinPort.Value());
        settings_.UserName = Trim(frmAuth_->edUser.Text());
        settings_.Password = Trim(frmAuth_->edPwd.Text());
        settings_.APop = frmAuth_->cbApop.Checked();
        Write(f, "UserName", settings_.UserName);
        const std::string stored = ScramblePassword(settings_.Password);
        if (StoresIntact(stored))
            Write(f, "Password", stored);
        else
            MessageBox("The password cannot be stored in " + f +
                           ": some of its characters would not read back.\r\nThe password "
                           "stored before is kept; this session uses the new one.",
                       app_.Title, MB_OK | MB_ICONWARNING);
        WriteBool(f, "APop", settings_.APop);
        Write(f, "Pop3Host", settings_.Pop3Host);
        Write(f, "Pop3Port", settings_.Pop3Port);
    }
    Write(f, "Authentication", IntToStr(settings_.AuthMode));
    Write(f, "ZIPFileName", settings_.ZipName);
    Write(f, "PollDir", Trim(edPollDir.Text()));
    Write(f, "Host", Trim(edHost.Text()));
    Write(f, "HostPort", IntToStr(spinPort.Value()));
    Write(f, "To", Trim(edTo.Text()));
    Write(f, "Cc", Trim(edCC.Text()));
    Write(f, "Bcc", Trim(edBcc.Text()));
    Write(f, "From", Trim(edFrom.Text()));
    Write(f, "Subject", Trim(edSubject.Text()));
    Write(f, "TimeUnit", UpperCase(ComboTime.Text()));
    Write(f, "PollInterval", IntToStr(spinPollMin.Value()));
    WriteBool(f, "Log", cboxLogging.Checked());
    WriteBool(f, "Backup", cboxBackup.Checked());
    WriteBool(f, "Delete", cboxDelete.Checked());
    WriteBool(f, "Archive", cboxArchive.Checked());
    WriteBool(f, "StartInTimerMode", cboxPollOnStart.Checked());
    WriteBool(f, "ZipCompression", cboxZip.Checked());
    WriteBool(f, "AppendFileNames", cboxFilenames.Checked());
    Write(f, "Charset", LowerCase(ComboCharset.Text()));
    WriteBool(f, "SingleFilePerMail", cboxSingleFilePerMail.Checked());
    Write(f, "FileSelection", Trim(edExtensions.Text()));
    WriteBool(f, "RunOnceExit", cboxRunOnce.Checked());
    WriteBool(f, "VerboseLogging", cboxVerbose.Checked());
    settings_.RememberedPollDir = Trim(edPollDir.Text());
    settings_.RememberedFileSelection = Trim(edExtensions.Text());
    settings_.RememberedFrom = Trim(edFrom.Text());
}

// ---- focus handlers and field checks ----

void TfrmMain::ControlsEnter(TObject *) {
    LoadSettings();
}

void TfrmMain::ControlsExit(TObject *) {
    SaveSettings();
}

void TfrmMain::edPollDirExit(TObject *) {
    std::string dir = Trim(RemoveBackslash(edPollDir.Text()));
    if (!IsDirectory(dir)) {
        MessageBox("Only directory entries are allowed", app_.Title, MB_OK);
        edPollDir.SetFocus();
        throw EAbort();
    }
    edPollDir.SetText(AddBackslash(dir));
    if (Trim(edExtensions.Text()).empty())
        edExtensions.SetText("*.*");
    if (edPollDir.Text() != settings_.RememberedPollDir)
        SaveSettings();
}

void TfrmMain::edExtensionsExit(TObject *) {
    if (Trim(edExtensions.Text()).empty())
        edExtensions.SetText("*.*");
    if (Trim(edExtensions.Text()) != settings_.RememberedFileSelection)
        SaveSettings();
}

void TfrmMain::edFromExit(TObject *) {
    std::string from = NormalizeAddress(Trim(edFrom.Text()));
    if (from.empty()) {
        MessageBox("Field From is invalid", app_.Title, MB_OK);
        edFrom.SetFocus();
        throw EAbort();
    }
    edFrom.SetText(from);
    if (from != settings_.RememberedFrom)
        SaveSettings();
}

void TfrmMain::cboxZipClick(TObject *) {
    if (!job_.Ready || !cboxZip.Checked() || cboxSingleFilePerMail.Checked())
        return;
    std::string answer;
    if (settings_.ZipName.size() > 4 && UpperCase(ExtractFileExt(settings_.ZipName)) == ".ZIP") {
        answer = settings_.ZipName;
    } else {
        settings_.ZipName = "Package.zip";
        answer = settings_.ZipName;
    }
    for (;;) {
        if (!InputQuery("ZIP File Name ", "ZIP file name, must end on '.zip'", answer))
            return;
        // A name with a directory would place the archive outside Temp.
        if (answer.size() >= 5 && SameText(ExtractFileExt(answer), ".zip") &&
            answer.find('/') == std::string::npos) {
            settings_.ZipName = answer;
            return;
        }
    }
}

} // namespace pv
