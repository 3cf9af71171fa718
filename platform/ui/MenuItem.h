// Menu items and the pop-up menu that holds them.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/Object.h"
#include "platform/ui/Control.h"

namespace pv {

class TMenuItem : public TObject {
  public:
    explicit TMenuItem(const std::string &name = "", const std::string &caption = "")
        : name_(name), caption_(caption) {}
    TMenuItem(const TMenuItem &) = delete;
    TMenuItem &operator=(const TMenuItem &) = delete;

    const std::string &Name() const { return name_; }
    const std::string &Caption() const { return caption_; }
    void SetCaption(const std::string &caption);
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    bool Visible() const { return visible_; }
    void SetVisible(bool visible);
    // "-" as caption is a separator.
    bool IsSeparator() const { return caption_ == "-"; }

    // Raises OnClick (whatever Enabled says, like the program's own calls).
    void Click();
    // The user's choice: refused when disabled or hidden.
    bool UserClick();

    TNotifyEvent OnClick;
    std::function<void(TMenuItem *item)> ViewNotify;

  private:
    void Changed();
    std::string name_;
    std::string caption_;
    bool enabled_ = true;
    bool visible_ = true;
};

class TPopupMenu : public TObject {
  public:
    explicit TPopupMenu(const std::string &name = "") : name_(name) {}
    const std::string &Name() const { return name_; }
    // Items are not owned.
    void Add(TMenuItem *item) { items_.push_back(item); }
    const std::vector<TMenuItem *> &Items() const { return items_; }
    TMenuItem *Find(const std::string &name) const;
    // Whether the front end may add access keys of its own.
    bool AutoHotkeys() const { return autoHotkeys_; }
    void SetAutoHotkeys(bool on) { autoHotkeys_ = on; }

  private:
    std::string name_;
    std::vector<TMenuItem *> items_;
    bool autoHotkeys_ = true;
};

} // namespace pv
