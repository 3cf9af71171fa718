// TfrmAuth: the authentication dialog. It exists only while it is shown;
// while it exists the settings load fills it and the save takes the account
// values from it.
#pragma once

#include "platform/ui/Ui.h"

#include <string>

namespace pv {

class TfrmMain;

extern const char *const kAuthHelpText;

class TfrmAuth : public TForm {
  public:
    explicit TfrmAuth(TfrmMain &owner);
    ~TfrmAuth() override;

    TRadioGroup rgAuthType{"rgAuthType"};
    TButton button1{"button1"};
    TGroupBox GroupBox2{"GroupBox2"};
    TLabel Label1{"Label1"};
    TEdit edUser{"edUser"};
    TLabel Label2{"Label2"};
    TEdit edPwd{"edPwd"};
    TGroupBox GroupBox1{"GroupBox1"};
    TLabel Label3{"Label3"};
    TEdit edHost{"edHost"};
    TLabel Label4{"Label4"};
    TSpinEdit spinPort{"spinPort"};
    TCheckBox cbApop{"cbApop"};
    TButton btnOK{"btnOK"};

    void FormShow(TObject *Sender);
    void DBRadioChange(TObject *Sender);
    void Button1Click(TObject *Sender);
    void btnOKClick(TObject *Sender);
    void FormClose(TObject *Sender, TCloseAction &Action);

  private:
    TfrmMain &main_;
};

} // namespace pv
