#include "platform/Dialogs.h"

#include "platform/HeadlessDialogs.h"

namespace pv {

TMessageRequest MakeMessageRequest(const std::string &text, const std::string &caption,
                                   unsigned flags) {
    TMessageRequest r;
    r.Text = text;
    r.Caption = caption;
    switch (flags & MB_TYPEMASK) {
    case MB_OKCANCEL:
        r.Buttons = {IDOK, IDCANCEL};
        break;
    case MB_ABORTRETRYIGNORE:
        r.Buttons = {IDABORT, IDRETRY, IDIGNORE};
        break;
    case MB_YESNOCANCEL:
        r.Buttons = {IDYES, IDNO, IDCANCEL};
        break;
    case MB_YESNO:
        r.Buttons = {IDYES, IDNO};
        break;
    case MB_RETRYCANCEL:
        r.Buttons = {IDRETRY, IDCANCEL};
        break;
    default:
        r.Buttons = {IDOK};
        break;
    }
    std::size_t def = (flags & MB_DEFMASK) >> 8;
    r.DefaultButton = r.Buttons[def < r.Buttons.size() ? def : 0];
    switch (flags & MB_ICONMASK) {
    case MB_ICONHAND:
        r.Icon = TMsgIcon::Error;
        break;
    case MB_ICONQUESTION:
        r.Icon = TMsgIcon::Question;
        break;
    case MB_ICONEXCLAMATION:
        r.Icon = TMsgIcon::Warning;
        break;
    case MB_ICONASTERISK:
        r.Icon = TMsgIcon::Information;
        break;
    default:
        r.Icon = TMsgIcon::None;
        break;
    }
    return r;
}

namespace {
TDialogService *gService = nullptr;

TDialogService &Headless() {
    static THeadlessDialogs headless;
    return headless;
}
} // namespace

TDialogService &Dialogs() {
    return gService ? *gService : Headless();
}

TDialogService *SetDialogService(TDialogService *service) {
    TDialogService *old = gService;
    gService = service;
    return old;
}

int MessageBox(const std::string &text, const std::string &caption, unsigned flags) {
    return Dialogs().ShowMessage(MakeMessageRequest(text, caption, flags));
}

bool InputQuery(const std::string &caption, const std::string &prompt, std::string &value) {
    return Dialogs().InputQuery(caption, prompt, value);
}

bool BrowseForFolder(const TBrowseRequest &request, std::string &folder) {
    return Dialogs().BrowseForFolder(request, folder);
}

bool ShellOpen(const std::string &documentOrUrl) {
    return Dialogs().ShellOpen(documentOrUrl);
}

int MessageDlg(const std::string &text, TMsgIcon icon, const std::vector<int> &buttons,
               const std::string &caption) {
    TMessageRequest r;
    r.Text = text;
    r.Caption = caption;
    r.Icon = icon;
    if (!buttons.empty())
        r.Buttons = buttons;
    r.DefaultButton = r.Buttons.front();
    return Dialogs().ShowMessage(r);
}

} // namespace pv
