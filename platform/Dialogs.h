// Message boxes, the input box, the folder browser and "open a document or
// address", through a process-wide dialog service: real dialogs with a
// display, a headless one otherwise, a scripted one in tests.
#pragma once

#include <string>
#include <vector>

namespace pv {

// MessageBox flags and results, with Windows' values.
constexpr unsigned MB_OK = 0x0000;
constexpr unsigned MB_OKCANCEL = 0x0001;
constexpr unsigned MB_ABORTRETRYIGNORE = 0x0002;
constexpr unsigned MB_YESNOCANCEL = 0x0003;
constexpr unsigned MB_YESNO = 0x0004;
constexpr unsigned MB_RETRYCANCEL = 0x0005;
constexpr unsigned MB_TYPEMASK = 0x000F;
constexpr unsigned MB_ICONHAND = 0x0010;
constexpr unsigned MB_ICONERROR = MB_ICONHAND;
constexpr unsigned MB_ICONSTOP = MB_ICONHAND;
constexpr unsigned MB_ICONQUESTION = 0x0020;
constexpr unsigned MB_ICONEXCLAMATION = 0x0030;
constexpr unsigned MB_ICONWARNING = MB_ICONEXCLAMATION;
constexpr unsigned MB_ICONASTERISK = 0x0040;
constexpr unsigned MB_ICONINFORMATION = MB_ICONASTERISK;
constexpr unsigned MB_ICONMASK = 0x00F0;
constexpr unsigned MB_DEFBUTTON1 = 0x0000;
constexpr unsigned MB_DEFBUTTON2 = 0x0100;
constexpr unsigned MB_DEFBUTTON3 = 0x0200;
constexpr unsigned MB_DEFMASK = 0x0F00;
constexpr unsigned MB_APPLMODAL = 0x0000;
constexpr unsigned MB_SYSTEMMODAL = 0x1000;
constexpr unsigned MB_TASKMODAL = 0x2000;
constexpr unsigned MB_SETFOREGROUND = 0x10000;
constexpr unsigned MB_TOPMOST = 0x40000;

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

enum class TMsgIcon { None, Error, Question, Warning, Information };

// One message box as the service sees it. Buttons are ID* values in display
// order; DefaultButton is one of them.
struct TMessageRequest {
    std::string Text;
    std::string Caption;
    TMsgIcon Icon = TMsgIcon::None;
    std::vector<int> Buttons{IDOK};
    int DefaultButton = IDOK;
};

// The buttons and default of MessageBox flags (MB_DEFBUTTONn picks the
// default, else the first button).
TMessageRequest MakeMessageRequest(const std::string &text, const std::string &caption,
                                   unsigned flags);

struct TBrowseRequest {
    std::string Caption = "Browse for Folder"; // window caption
    std::string Title;                         // text above the tree
    std::string Root = "/";
    std::string InitialDir;
    bool DirectoriesOnly = true;
    bool ShowStatusText = true; // the current selection in a status line
};

class TDialogService {
  public:
    virtual ~TDialogService() = default;
    // Returns the ID of the button chosen.
    virtual int ShowMessage(const TMessageRequest &request) = 0;
    // True on OK, value then holds the answer; false on cancel (value kept).
    virtual bool InputQuery(const std::string &caption, const std::string &prompt,
                            std::string &value) = 0;
    // True on OK, folder then holds the chosen directory (no trailing "/").
    virtual bool BrowseForFolder(const TBrowseRequest &request, std::string &folder) = 0;
    // Opens a file with its default viewer or an address in the browser.
    virtual bool ShellOpen(const std::string &documentOrUrl) = 0;
};

// The process-wide service: the headless one until SetDialogService is
// called. Passing nullptr restores the headless one. Not owned.
TDialogService &Dialogs();
TDialogService *SetDialogService(TDialogService *service);

// Shortcuts through Dialogs().
int MessageBox(const std::string &text, const std::string &caption, unsigned flags);
bool InputQuery(const std::string &caption, const std::string &prompt, std::string &value);
bool BrowseForFolder(const TBrowseRequest &request, std::string &folder);
bool ShellOpen(const std::string &documentOrUrl);
// A box with any buttons (e.g. {IDYES, IDCANCEL}); the first is the default.
int MessageDlg(const std::string &text, TMsgIcon icon, const std::vector<int> &buttons,
               const std::string &caption = "");

} // namespace pv
