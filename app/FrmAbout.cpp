#include "app/FrmAbout.h"

#include "platform/FileSystem.h"

namespace pv {

TfrmAbout::TfrmAbout(const std::string &firstLine) : TForm("frmAbout") {
    SetCaption("Postvane for Windows");
    SetClientSize(340, 120);
    // The logo and the text fill the box: a click anywhere closes it.
    Image1.SetParent(this);
    Image1.SetBounds(0, 0, 96, 120);
    Image1.SetPicture(pv::AppDir() + "logo.png");
    Panel1.SetParent(this);
    Panel1.SetBounds(96, 0, 244, 120);
    Panel1.SetCaption(firstLine +
                      "\r\n"
                      "\r\n"
                      "Watches one directory and mails\r\n"
                      "the files it finds there.\r\n"
                      "Free to use and to pass on.\r\n"
                      "\r\n" +
                      kWebAddress);
    Panel1.OnClick = [this](TObject *s) { Panel1Click(s); };
    Image1.OnClick = Panel1.OnClick;
    OnClose = [](TObject *, TCloseAction &Action) { Action = caFree; };
}

void TfrmAbout::Panel1Click(TObject *) {
    Close();
}

} // namespace pv
