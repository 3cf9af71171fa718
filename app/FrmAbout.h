// TfrmAbout: the About box, also the start-up splash.
#pragma once

#include "platform/ui/Ui.h"

#include <string>

namespace pv {

// The program's web address, shown in the About box and behind the logo.
constexpr const char *kWebAddress = "https://postvane.example.org/";

class TfrmAbout : public TForm {
  public:
    // firstLine: the main window's caption.
    explicit TfrmAbout(const std::string &firstLine);

    TImage Image1{"Image1"};
    TLabel Panel1{"Panel1"};

    void Panel1Click(TObject *Sender);
};

} // namespace pv
