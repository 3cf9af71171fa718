#include "app/FrmAbout.h"

namespace pv {

TfrmAbout::TfrmAbout(const std::string &firstLine) : TForm("frmAbout") {
    SetCaption("Postvane for Windows");
    Panel1.SetParent(this);
    Panel1.SetCaption(firstLine + "\r\n"
                                  "Watches one directory and mails the files it finds there.\r\n"
                                  "Free to use and to pass on.\r\n"
                                  "https://postvane.example.org/");
    Panel1.OnClick = [this](TObject *s) { Panel1Click(s); };
    OnClose = [](TObject *, TCloseAction &Action) { Action = caFree; };
}

void TfrmAbout::Panel1Click(TObject *) {
    Close();
}

} // namespace pv
