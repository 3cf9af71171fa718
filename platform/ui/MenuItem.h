// Menu items and the pop-up menu that holds them.
#pragma once

#include <functional>
#include <string>
#include <utility>
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
    // The item a double click on the menu's owner stands for (shown in bold).
    bool Default() const { return default_; }
    void SetDefault(bool value);

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
    bool default_ = false;
};

class TPopupMenu : public TObject {
  public:
    explicit TPopupMenu(const std::string &name = "") : name_(name) {}
    // Tells everyone who asked (FreeNotification) that the menu goes away.
    ~TPopupMenu() override;
    TPopupMenu(const TPopupMenu &) = delete;
    TPopupMenu &operator=(const TPopupMenu &) = delete;

    const std::string &Name() const { return name_; }
    // Items are not owned.
    void Add(TMenuItem *item) { items_.push_back(item); }
    const std::vector<TMenuItem *> &Items() const { return items_; }
    TMenuItem *Find(const std::string &name) const;
    // Whether the front end may add access keys of its own.
    bool AutoHotkeys() const { return autoHotkeys_; }
    void SetAutoHotkeys(bool on) { autoHotkeys_ = on; }
    // Whether the owner shows the menu by itself on the right button.
    bool AutoPopup() const { return autoPopup_; }
    void SetAutoPopup(bool on) { autoPopup_ = on; }
    // The component that showed the menu last.
    TObject *PopupComponent() const { return popupComponent_; }
    void SetPopupComponent(TObject *component) { popupComponent_ = component; }

    // Components that keep a reference to the menu: callback runs from the
    // destructor. Returns a key for RemoveFreeNotification.
    int FreeNotification(std::function<void(TPopupMenu *menu)> callback);
    void RemoveFreeNotification(int key);

  private:
    std::string name_;
    std::vector<TMenuItem *> items_;
    bool autoHotkeys_ = true;
    bool autoPopup_ = true;
    TObject *popupComponent_ = nullptr;
    std::vector<std::pair<int, std::function<void(TPopupMenu *)>>> freeNotify_;
    int nextKey_ = 0;
};

} // namespace pv
