// The settings: the INI file's SETUP section loaded into the controls and
// saved from them, the field checks, the ZIP name dialog, and the helpers
// they use.
#include "app/Settings.h"

#include "app/FrmAuth.h"
#include "app/FrmMain.h"
#include "mail/SmtpCli.h"
#include "platform/Dialogs.h"
#include "platform/FileSystem.h"
#include "platform/Profile.h"
#include "platform/Text.h"

#include <variant>

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

bool PasswordStoresIntact(const std::string &password) {
    return StoresIntact(ScramblePassword(password));
}

bool LooksUnscrambled(const std::string &stored) {
    for (char c : stored)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

std::string IniFileName(const std::string &appDir) {
    return AddBackslash(appDir) + ChangeFileExt(ExtractFileName(ExeName()), ".ini");
}

TMailbox ParseMailbox(const std::string &text) {
    TMailbox m;
    SplitAddress(text, m.Name, m.Address);
    return m;
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

const std::vector<std::string> kCharsetItems = {
    "ISO-8859-1",        "ISO-8859-2",        "ISO-8859-3",   "ISO-8859-4",   "ISO-8859-5",
    "ISO-8859-6",        "ISO-8859-7",        "ISO-8859-8",   "ISO-8859-9",   "ISO-8859-10",
    "ISO-8859-13",       "ISO-8859-14",       "ISO-8859-15",  "WINDOWS-1250", "WINDOWS-1251",
    "WINDOWS-1252",      "WINDOWS-1253",      "WINDOWS-1254", "WINDOWS-1255", "WINDOWS-1256",
    "WINDOWS-1257",      "WINDOWS-1258",      "KOIR8-R",      "CP-895",       "CP-852",
    "Unicode-1-1-UCS-2", "Unicode-1-1-UCS-4", "UTF-8",        "UTF-7"};

const std::vector<std::string> kTimeUnitItems = {"S", "M", "H"};

namespace {

// The value's form in the file: decimal, "1"/"0", or text.
enum TKeyType { kInteger, kBoolean, kText };

// What a key needs beyond reading and writing its value.
enum TKeyRule : unsigned {
    kTrim = 1,        // blanks and control characters cut off on load and on save
    kScrambled = 2,   // the password: bit 7 of every byte inverted in the file
    kUpperCase = 4,   // a combo box: looked up and saved upper-cased
    kLowerCase = 8,   // a combo box: looked up and saved lower-cased
    kCapped = 16,     // a stored number above the spin edit's range loads as its maximum
    kAuthBox = 32,    // checks cboxAuth when not 0, and enables btnAuth with it
    kAuthDialog = 64, // the last account key read: an open dialog then shows them all
};

constexpr int kAccountKeys = 5;

template <class... F> struct Overloaded : F... { using F::operator()...; };
template <class... F> Overloaded(F...) -> Overloaded<F...>;

} // namespace

struct TfrmMain::TSettingKey {
    using TTarget = std::variant<TEdit TfrmMain::*, TSpinEdit TfrmMain::*, TCheckBox TfrmMain::*,
                                 TComboBox TfrmMain::*, std::string TSettingValues::*,
                                 bool TSettingValues::*, std::uint16_t TSettingValues::*>;

    const char *Key;
    TKeyType Type;
    const char *Default; // as the file would hold it
    TTarget Target;      // the control or variable the key feeds
    unsigned Rules = 0;
    // The account keys are written only from the authentication dialog,
    // before all others and in this order (1 to 5); 0 for the other keys.
    int Account = 0;
    // Where the field checks find the value last loaded or saved.
    std::string TSettingValues::*Remembered = nullptr;
};

// A key's value in the form its type gives it.
struct TfrmMain::TKeyValue {
    std::string Text;
    int Number = 0;
    bool Flag = false;
};

// Every key of the SETUP section, in the order the load reads them. A combo
// box value that matches none of its items selects the second item ("M",
// "ISO-8859-2"): the default "us-ascii" is meant to miss.
const TfrmMain::TSettingKey TfrmMain::kSetupKeys[] = {
    {"Authentication", kInteger, "0", &TSettingValues::AuthMode, kAuthBox},
    {"ZIPFileName", kText, "Package.zip", &TSettingValues::ZipName},
    {"Pop3Host", kText, "pop3.example.com", &TSettingValues::Pop3Host, kTrim, 4},
    {"Pop3Port", kText, "110", &TSettingValues::Pop3Port, 0, 5},
    {"UserName", kText, "User or Account", &TSettingValues::UserName, kTrim, 1},
    {"Password", kText, "Password", &TSettingValues::Password, kTrim | kScrambled, 2},
    {"APop", kBoolean, "0", &TSettingValues::APop, kAuthDialog, 3},
    {"PollDir", kText, "/tmp", &TfrmMain::edPollDir, kTrim, 0, &TSettingValues::RememberedPollDir},
    {"Host", kText, "smtp.example.com", &TfrmMain::edHost, kTrim},
    {"HostPort", kInteger, "25", &TfrmMain::spinPort},
    {"To", kText, "recipient@example.com", &TfrmMain::edTo, kTrim},
    {"Cc", kText, "cc1@example.com;cc2@example.com", &TfrmMain::edCC, kTrim},
    {"Bcc", kText, "bcc1@example.com;bcc2@example.com", &TfrmMain::edBcc, kTrim},
    {"From", kText, "postvane@example.com", &TfrmMain::edFrom, kTrim, 0,
     &TSettingValues::RememberedFrom},
    {"Subject", kText, "Mail from Postvane", &TfrmMain::edSubject, kTrim},
    {"TimeUnit", kText, "M", &TfrmMain::ComboTime, kUpperCase},
    {"PollInterval", kInteger, "2", &TfrmMain::spinPollMin, kCapped},
    {"Log", kBoolean, "1", &TfrmMain::cboxLogging},
    {"Backup", kBoolean, "0", &TfrmMain::cboxBackup},
    {"Delete", kBoolean, "0", &TfrmMain::cboxDelete},
    {"Archive", kBoolean, "0", &TfrmMain::cboxArchive},
    {"StartInTimerMode", kBoolean, "0", &TfrmMain::cboxPollOnStart},
    {"ZipCompression", kBoolean, "0", &TfrmMain::cboxZip},
    {"AppendFileNames", kBoolean, "0", &TfrmMain::cboxFilenames},
    {"Charset", kText, "us-ascii", &TfrmMain::ComboCharset, kLowerCase},
    {"SingleFilePerMail", kBoolean, "0", &TfrmMain::cboxSingleFilePerMail},
    {"FileSelection", kText, "mylog.txt;*.txt;*.wa?;img10?.bmp", &TfrmMain::edExtensions, kTrim, 0,
     &TSettingValues::RememberedFileSelection},
    {"RunOnceExit", kBoolean, "0", &TfrmMain::cboxRunOnce},
    {"VerboseLogging", kBoolean, "0", &TfrmMain::cboxVerbose},
};

TfrmMain::TKeyValue TfrmMain::KeyValue(const TSettingKey &key) const {
    TKeyValue v;
    std::visit(Overloaded{
                   [&](TEdit TfrmMain::*m) { v.Text = (this->*m).Text(); },
                   [&](TSpinEdit TfrmMain::*m) { v.Number = (this->*m).Value(); },
                   [&](TCheckBox TfrmMain::*m) { v.Flag = (this->*m).Checked(); },
                   [&](TComboBox TfrmMain::*m) {
                       const std::string item = (this->*m).Text();
                       v.Text = key.Rules & kUpperCase ? UpperCase(item) : LowerCase(item);
                   },
                   [&](std::string TSettingValues::*m) { v.Text = settings_.*m; },
                   [&](bool TSettingValues::*m) { v.Flag = settings_.*m; },
                   [&](std::uint16_t TSettingValues::*m) { v.Number = settings_.*m; },
               },
               key.Target);
    if (key.Rules & kTrim)
        v.Text = Trim(v.Text);
    return v;
}

void TfrmMain::SetKeyValue(const TSettingKey &key, const TKeyValue &v) {
    std::visit(Overloaded{
                   [&](TEdit TfrmMain::*m) { (this->*m).SetText(v.Text); },
                   [&](TSpinEdit TfrmMain::*m) {
                       TSpinEdit &spin = this->*m;
                       const bool over = key.Rules & kCapped && v.Number > spin.MaxValue();
                       spin.SetValue(over ? spin.MaxValue() : v.Number);
                   },
                   // Assigning the state runs the box's click handler on a change.
                   [&](TCheckBox TfrmMain::*m) { (this->*m).SetChecked(v.Flag); },
                   [&](TComboBox TfrmMain::*m) {
                       TComboBox &combo = this->*m;
                       const int i = combo.IndexOf(key.Rules & kUpperCase ? UpperCase(v.Text)
                                                                          : LowerCase(v.Text));
                       combo.SetItemIndex(i < 0 ? 1 : i);
                   },
                   [&](std::string TSettingValues::*m) { settings_.*m = v.Text; },
                   [&](bool TSettingValues::*m) { settings_.*m = v.Flag; },
                   [&](std::uint16_t TSettingValues::*m) {
                       settings_.*m = static_cast<std::uint16_t>(v.Number);
                   },
               },
               key.Target);
}

void TfrmMain::LoadSettings() {
    const std::string &f = iniFile_;
    for (const TSettingKey &key : kSetupKeys) {
        TKeyValue v;
        switch (key.Type) {
        case kInteger:
            v.Number = ReadInt(f, key.Key, StrToIntDef(key.Default, 0));
            break;
        case kBoolean:
            v.Flag = ReadBool(f, key.Key, StrToIntDef(key.Default, 0) != 0);
            break;
        case kText:
            v.Text = ReadText(f, key.Key, key.Default);
            if (key.Rules & kTrim)
                v.Text = Trim(v.Text);
            if (key.Rules & kScrambled)
                v.Text = ScramblePassword(v.Text);
            break;
        }
        SetKeyValue(key, v);
        if (key.Remembered)
            settings_.*key.Remembered = KeyValue(key).Text;
        if (key.Rules & kAuthBox) {
            cboxAuth.SetChecked(settings_.AuthMode != 0);
            btnAuth.SetEnabled(cboxAuth.Checked());
        }
        if (key.Rules & kAuthDialog)
            FillAuthDialog();
    }
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

void TfrmMain::FillAuthDialog() {
    if (!frmAuth_)
        return;
    frmAuth_->edUser.SetText(settings_.UserName);
    frmAuth_->edPwd.SetText(settings_.Password);
    frmAuth_->cbApop.SetChecked(settings_.APop);
    frmAuth_->edHost.SetText(settings_.Pop3Host);
    frmAuth_->spinPort.SetValue(StrToIntDef(settings_.Pop3Port, 0));
    frmAuth_->rgAuthType.SetItemIndex(settings_.AuthMode);
}

void TfrmMain::TakeFromAuthDialog() {
    // A dialog with nothing selected counts as "None".
    const int index = frmAuth_->rgAuthType.ItemIndex();
    settings_.AuthMode = static_cast<std::uint16_t>(index < 0 ? 0 : index);
    settings_.Pop3Host = Trim(frmAuth_->edHost.Text());
    settings_.Pop3Port = IntToStr(frmAuth_->spinPort.Value());
    settings_.UserName = Trim(frmAuth_->edUser.Text());
    settings_.Password = Trim(frmAuth_->edPwd.Text());
    settings_.APop = frmAuth_->cbApop.Checked();
}

void TfrmMain::SaveKey(const TSettingKey &key) {
    const std::string &f = iniFile_;
    const TKeyValue v = KeyValue(key);
    switch (key.Type) {
    case kInteger:
        Write(f, key.Key, IntToStr(v.Number));
        break;
    case kBoolean:
        Write(f, key.Key, v.Flag ? "1" : "0");
        break;
    case kText:
        if (!(key.Rules & kScrambled)) {
            Write(f, key.Key, v.Text);
        } else if (PasswordStoresIntact(v.Text)) {
            Write(f, key.Key, ScramblePassword(v.Text));
        } else {
            MessageBox("The password cannot be stored in " + f +
                           ": some of its characters would not read back.\r\nThe password "
                           "stored before is kept; this session uses the new one.",
                       app_.Title, MB_OK | MB_ICONWARNING);
        }
        break;
    }
}

void TfrmMain::SaveSettings() {
    // While the dialog is closed the account keys keep what the file has.
    if (frmAuth_) {
        TakeFromAuthDialog();
        for (int n = 1; n <= kAccountKeys; ++n)
            for (const TSettingKey &key : kSetupKeys)
                if (key.Account == n)
                    SaveKey(key);
    }
    for (const TSettingKey &key : kSetupKeys)
        if (key.Account == 0)
            SaveKey(key);
    for (const TSettingKey &key : kSetupKeys)
        if (key.Remembered)
            settings_.*key.Remembered = KeyValue(key).Text;
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
