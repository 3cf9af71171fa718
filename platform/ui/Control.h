// The user-interface model: controls as plain objects with the properties
// and events the program uses. A front end renders them and reports the
// user's actions back through the User* methods; without one they are
// driven by the program and by tests alone.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/Object.h"

namespace pv {

class TForm;

// What changed, for the front end.
enum class TChange {
    Text,
    Enabled,
    Visible,
    Bounds,
    Hint,
    Color,
    Checked,
    Items,
    ItemIndex,
    Value,
    Range,
    Modified,
    Panels,
    Picture,
    Focus,
    Parent,
    Style,
    Repaint,
    BringToFront,
    WindowState,
};

constexpr int clWindow = 0xFFFFFF;
constexpr int clBtnFace = 0xF0F0F0;

class TControl : public TObject {
  public:
    explicit TControl(const std::string &name = "");
    ~TControl() override;
    TControl(const TControl &) = delete;
    TControl &operator=(const TControl &) = delete;

    const std::string &Name() const { return name_; }
    void SetName(const std::string &name) { name_ = name; }

    // Text and Caption are one property (edits call it Text, buttons Caption).
    virtual std::string Text() const { return text_; }
    virtual void SetText(const std::string &text);
    std::string Caption() const { return Text(); }
    void SetCaption(const std::string &caption) { SetText(caption); }

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    bool Visible() const { return visible_; }
    void SetVisible(bool visible);
    // Enabled/visible with every parent enabled/visible too.
    bool EffectivelyEnabled() const;
    bool Showing() const;

    const std::string &Hint() const { return hint_; }
    void SetHint(const std::string &hint);
    bool ShowHint() const { return showHint_; }
    void SetShowHint(bool show) { showHint_ = show; }

    int Color() const { return color_; }
    void SetColor(int color);

    int Left() const { return left_; }
    int Top() const { return top_; }
    int Width() const { return width_; }
    int Height() const { return height_; }
    void SetLeft(int v) { SetBounds(v, top_, width_, height_); }
    void SetTop(int v) { SetBounds(left_, v, width_, height_); }
    void SetWidth(int v) { SetBounds(left_, top_, v, height_); }
    void SetHeight(int v) { SetBounds(left_, top_, width_, v); }
    void SetBounds(int left, int top, int width, int height);

    int Tag() const { return tag_; }
    void SetTag(int tag) { tag_ = tag; }

    // Parent/children (group boxes, forms). Children are not owned.
    TControl *Parent() const { return parent_; }
    void SetParent(TControl *parent);
    const std::vector<TControl *> &Controls() const { return children_; }
    // The form this control sits on (itself for a form), or nullptr.
    TForm *ParentForm() const;
    bool IsChildOf(const TControl *ancestor) const;

    // Focus, through the form's focus manager.
    virtual bool CanHaveFocus() const { return false; } // the control kind takes focus
    // ...and it and its parents up to the form are enabled and visible (the
    // form itself need not be shown: headless runs never show it).
    bool CanFocus() const;
    bool SetFocus();
    bool Focused() const;

    // What the program does when it "performs a click": raises OnClick (a
    // check box toggles, which raises it). Ignores Enabled, like the program's
    // own calls.
    virtual void Click();
    void DblClick();
    // On top of its siblings.
    void BringToFront() { Changed(TChange::BringToFront); }

    // The user's actions: refused (false) when the control or a parent is
    // disabled or hidden (the form included: nobody clicks a hidden window),
    // or when taking the focus first is refused.
    bool UserClick();
    bool UserDblClick();
    // Typing: sets the text as the user would (edits respect MaxLength,
    // memos become Modified). False when the control cannot take input.
    virtual bool UserSetText(const std::string &text);

    TNotifyEvent OnClick;
    TNotifyEvent OnDblClick;
    TNotifyEvent OnEnter;
    TNotifyEvent OnExit;

    // For the front end; called after every change of the model.
    std::function<void(TControl *control, TChange what)> ViewNotify;

  protected:
    void Changed(TChange what);
    // Typing/clicking needs the focus on kinds that take it.
    bool TakeFocusForUser();

    std::string text_;

  private:
    friend class TForm;
    std::string name_;
    bool enabled_ = true;
    bool visible_ = true;
    std::string hint_;
    bool showHint_ = true;
    int color_ = clWindow;
    int left_ = 0, top_ = 0, width_ = 0, height_ = 0;
    int tag_ = 0;
    TControl *parent_ = nullptr;
    std::vector<TControl *> children_;
};

} // namespace pv
