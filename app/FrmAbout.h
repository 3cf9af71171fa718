// TfrmAbout: the About box, also the start-up splash.
#pragma once

#include "platform/ui/Ui.h"

#include <string>

namespace pv {

class TfrmAbout : public TForm {
  public:
    // firstLine: the main window's caption.
    explicit TfrmAbout(const std::string &firstLine);

    TLabel Panel1{"Panel1"};

    void Panel1Click(TObject *Sender);
};

} // namespace pv
