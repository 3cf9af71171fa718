#include "platform/ui/StatusBar.h"

namespace pv {

int TStatusBar::AddPanel(int width, const std::string &text) {
    panels_.push_back({text, width});
    Changed(TChange::Panels);
    return static_cast<int>(panels_.size()) - 1;
}

std::string TStatusBar::PanelText(int index) const {
    if (index < 0 || index >= static_cast<int>(panels_.size()))
        return "";
    return panels_[static_cast<std::size_t>(index)].Text;
}

void TStatusBar::SetPanelText(int index, const std::string &text) {
    if (index < 0 || index >= static_cast<int>(panels_.size()))
        return;
    auto &p = panels_[static_cast<std::size_t>(index)];
    if (p.Text == text)
        return;
    p.Text = text;
    Changed(TChange::Panels);
}

void TStatusBar::SetPanelWidth(int index, int width) {
    if (index < 0 || index >= static_cast<int>(panels_.size()))
        return;
    panels_[static_cast<std::size_t>(index)].Width = width;
    Changed(TChange::Panels);
}

} // namespace pv
