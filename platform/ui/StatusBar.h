// A status bar made of panels.
#pragma once

#include <string>
#include <vector>

#include "platform/ui/Control.h"

namespace pv {

struct TStatusPanel {
    std::string Text;
    int Width = 50;
};

class TStatusBar : public TControl {
  public:
    using TControl::TControl;

    const std::vector<TStatusPanel> &Panels() const { return panels_; }
    int AddPanel(int width = 50, const std::string &text = "");
    // An index outside the panels is ignored / gives "".
    std::string PanelText(int index) const;
    void SetPanelText(int index, const std::string &text);
    void SetPanelWidth(int index, int width);
    // Asks the front end to redraw now.
    void Repaint() { Changed(TChange::Repaint); }

  private:
    std::vector<TStatusPanel> panels_;
};

} // namespace pv
