#include "app/FrmAuth.h"

#include "app/FrmMain.h"
#include "platform/Dialogs.h"

namespace pv {

const char *const kAuthHelpText =
    "SMTP Authentication represents most common authentication type in use today.\n\r"
    "Postvane detects SMTP CRAM-MD5, SMTP LOGIN and SMTP PLAIN automatically.\n\r\n\r"
    "POP3 before SMTP is a simple and old fashioned authentication protocol.\n\r"
    "It logs you on a POP3 account before PVN connects to the corresponding \n\r"
    "SMTP server. If POP3 authentication succeeds a time window will be kept \n\r"
    "open for a couple of seconds or minutes while you are authenticated \n\r"
    "to send and relay mail.\n\r"
    "APOP uses low level encryted passwords.\n\r\n\r"
    "* Please note that your mail server must provide selected authentication type\n\r"
    "otherwise authentication would fail!";

TfrmAuth::TfrmAuth(TfrmMain &owner) : TForm("frmAuth"), main_(owner) {
    SetCaption("Authentications");
    rgAuthType.SetParent(this);
    rgAuthType.SetCaption(" Select Type ");
    rgAuthType.SetItems({"None", "POP3 before SMTP", "SMTP Authentication"});
    button1.SetParent(this);
    button1.SetCaption("?");
    GroupBox2.SetParent(this);
    GroupBox2.SetCaption("All Types");
    Label1.SetParent(&GroupBox2);
    Label1.SetCaption("User");
    edUser.SetParent(&GroupBox2);
    Label2.SetParent(&GroupBox2);
    Label2.SetCaption("Passw.");
    edPwd.SetParent(&GroupBox2);
    edPwd.SetPasswordChar('*');
    GroupBox1.SetParent(this);
    GroupBox1.SetCaption(" POP before SMTP ");
    Label3.SetParent(&GroupBox1);
    Label3.SetCaption("Host");
    edHost.SetParent(&GroupBox1);
    Label4.SetParent(&GroupBox1);
    Label4.SetCaption("Port");
    spinPort.SetParent(&GroupBox1);
    spinPort.SetMinValue(1);
    spinPort.SetMaxValue(65535);
    spinPort.SetValue(110);
    cbApop.SetParent(&GroupBox1);
    cbApop.SetCaption("Use APOP");
    btnOK.SetParent(this);
    btnOK.SetCaption("OK");

    OnShow = [this](TObject *s) { FormShow(s); };
    OnClose = [this](TObject *s, TCloseAction &a) { FormClose(s, a); };
    rgAuthType.OnClick = [this](TObject *s) { DBRadioChange(s); };
    button1.OnClick = [this](TObject *s) { Button1Click(s); };
    btnOK.OnClick = [this](TObject *s) { btnOKClick(s); };
}

TfrmAuth::~TfrmAuth() {
    Destroy();
}

void TfrmAuth::FormShow(TObject *) {
    main_.LoadSettings();
    DBRadioChange(this);
}

void TfrmAuth::DBRadioChange(TObject *) {
    const bool pop3 = rgAuthType.ItemIndex() == 1;
    const bool account = rgAuthType.ItemIndex() > 0;
    GroupBox1.SetEnabled(pop3);
    cbApop.SetEnabled(pop3);
    edHost.SetColor(pop3 ? clWindow : clBtnFace);
    spinPort.SetColor(pop3 ? clWindow : clBtnFace);
    GroupBox2.SetEnabled(account);
    edUser.SetColor(account ? clWindow : clBtnFace);
    edPwd.SetColor(account ? clWindow : clBtnFace);
}

void TfrmAuth::Button1Click(TObject *) {
    MessageBox(kAuthHelpText, main_.App().Title, MB_OK | MB_ICONINFORMATION);
}

void TfrmAuth::btnOKClick(TObject *) {
    Close();
}

// The main window's "Authentication" box: checking it opens the dialog,
// unchecking it switches authentication off at once.
void TfrmMain::cboxAuthClick(TObject *) {
    if (!job_.Ready)
        return;
    btnAuth.SetEnabled(cboxAuth.Checked());
    if (cboxAuth.Checked()) {
        btnAuth.Click();
    } else if (settings_.AuthMode != 0) {
        settings_.AuthMode = 0;
        SaveSettings();
    }
}

void TfrmAuth::FormClose(TObject *, TCloseAction &Action) {
    main_.job_.Ready = false;
    main_.cboxAuth.SetChecked(rgAuthType.ItemIndex() > 0);
    main_.job_.Ready = true;
    main_.btnAuth.SetEnabled(main_.cboxAuth.Checked());
    main_.SaveSettings();
    Action = caFree;
}

} // namespace pv
