#include "platform/ui/Control.h"

#include <algorithm>

#include "platform/ui/Form.h"
#include "platform/ui/View.h"

namespace pv {

TControl::TControl(const std::string &name) : name_(name) {}

TControl::~TControl() {
    if (TViewObserver *view = ViewObserver())
        view->ControlDestroyed(this);
    if (TForm *form = ParentForm())
        form->ControlGone(this);
    if (parent_) {
        auto &siblings = parent_->children_;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
    }
    for (TControl *child : children_)
        child->parent_ = nullptr;
}

void TControl::SetText(const std::string &text) {
    if (text == text_)
        return;
    text_ = text;
    Changed(TChange::Text);
}

void TControl::SetEnabled(bool enabled) {
    if (enabled == enabled_)
        return;
    enabled_ = enabled;
    Changed(TChange::Enabled);
}

void TControl::SetVisible(bool visible) {
    if (visible == visible_)
        return;
    visible_ = visible;
    Changed(TChange::Visible);
}

bool TControl::EffectivelyEnabled() const {
    for (const TControl *c = this; c; c = c->parent_)
        if (!c->enabled_)
            return false;
    return true;
}

bool TControl::Showing() const {
    for (const TControl *c = this; c; c = c->parent_)
        if (!c->visible_)
            return false;
    return true;
}

void TControl::SetHint(const std::string &hint) {
    if (hint == hint_)
        return;
    hint_ = hint;
    Changed(TChange::Hint);
}

void TControl::SetColor(int color) {
    if (color == color_)
        return;
    color_ = color;
    Changed(TChange::Color);
}

void TControl::SetBounds(int left, int top, int width, int height) {
    if (left == left_ && top == top_ && width == width_ && height == height_)
        return;
    left_ = left;
    top_ = top;
    width_ = width;
    height_ = height;
    Changed(TChange::Bounds);
}

void TControl::SetParent(TControl *parent) {
    if (parent == parent_ || parent == this || (parent && parent->IsChildOf(this)))
        return;
    if (TForm *form = ParentForm(); form && form != this) {
        TForm *newForm = parent ? parent->ParentForm() : nullptr;
        if (newForm != form)
            form->ControlGone(this);
    }
    if (parent_) {
        auto &siblings = parent_->children_;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
    }
    parent_ = parent;
    if (parent_)
        parent_->children_.push_back(this);
    Changed(TChange::Parent);
}

TForm *TControl::ParentForm() const {
    for (const TControl *c = this; c; c = c->parent_)
        if (auto *f = dynamic_cast<const TForm *>(c))
            return const_cast<TForm *>(f);
    return nullptr;
}

bool TControl::IsChildOf(const TControl *ancestor) const {
    for (const TControl *c = parent_; c; c = c->parent_)
        if (c == ancestor)
            return true;
    return false;
}

bool TControl::CanFocus() const {
    if (!CanHaveFocus())
        return false;
    // The form itself need not be on screen: headless runs never show it.
    for (const TControl *c = this; c; c = c->parent_) {
        if (dynamic_cast<const TForm *>(c))
            break;
        if (!c->enabled_ || !c->visible_)
            return false;
    }
    return true;
}

bool TControl::SetFocus() {
    TForm *form = ParentForm();
    return form && form != this && form->FocusControl(this);
}

bool TControl::Focused() const {
    TForm *form = ParentForm();
    return form && form->ActiveControl() == this;
}

void TControl::Click() {
    if (OnClick)
        OnClick(this);
}

void TControl::DblClick() {
    if (OnDblClick)
        OnDblClick(this);
}

bool TControl::TakeFocusForUser() {
    if (!CanHaveFocus() || Focused())
        return true;
    return SetFocus();
}

bool TControl::UserClick() {
    if (!EffectivelyEnabled() || !Showing() || !TakeFocusForUser())
        return false;
    Click();
    return true;
}

bool TControl::UserDblClick() {
    if (!EffectivelyEnabled() || !Showing() || !TakeFocusForUser())
        return false;
    DblClick();
    return true;
}

bool TControl::UserSetText(const std::string &) {
    return false;
}

void TControl::Changed(TChange what) {
    if (ViewNotify)
        ViewNotify(this, what);
    if (TViewObserver *view = ViewObserver())
        view->ControlChanged(this, what);
}

} // namespace pv
