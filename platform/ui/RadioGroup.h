// A group of radio buttons given as item texts. OnClick is raised whenever
// ItemIndex changes, also when the program sets it.
#pragma once

#include <string>
#include <vector>

#include "platform/ui/Control.h"

namespace pv {

class TRadioGroup : public TControl {
  public:
    using TControl::TControl;
    bool CanHaveFocus() const override { return true; }

    const std::vector<std::string> &Items() const { return items_; }
    // Resets ItemIndex to -1 when it no longer fits.
    void SetItems(const std::vector<std::string> &items);
    // -1 = none; other values outside the items select none.
    int ItemIndex() const { return itemIndex_; }
    void SetItemIndex(int index);
    // The user picks an item (refused when disabled or hidden).
    bool UserSelect(int index);

  private:
    std::vector<std::string> items_;
    int itemIndex_ = -1;
};

} // namespace pv
