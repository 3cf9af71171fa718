#include "platform/ui/Form.h"

namespace pv {

TForm::TForm(const std::string &name) : TControl(name) {
    visible_ = false;
}

TForm::~TForm() {
    active_ = nullptr;
}

void TForm::Show() {
    if (Visible()) {
        BringToFront();
        return;
    }
    SetVisible(true);
    if (OnShow)
        OnShow(this);
}

void TForm::Hide() {
    modal_ = false;
    if (!Visible())
        return;
    SetVisible(false);
    if (OnHide)
        OnHide(this);
}

void TForm::ShowModal() {
    modal_ = true;
    modalResult_ = mrNone;
    if (Visible()) {
        BringToFront();
        return;
    }
    SetVisible(true);
    if (OnShow)
        OnShow(this);
}

void TForm::SetModalResult(int result) {
    modalResult_ = result;
    if (result != mrNone && modal_)
        Close();
}

bool TForm::Close() {
    if (closing_)
        return false;
    struct Guard {
        bool &flag;
        ~Guard() { flag = false; }
    } guard{closing_};
    closing_ = true;

    bool canClose = true;
    if (OnCloseQuery)
        OnCloseQuery(this, canClose);
    if (!canClose) {
        modalResult_ = mrNone;
        return false;
    }
    TCloseAction action = caHide;
    if (OnClose)
        OnClose(this, action);
    if (action == caNone) {
        modalResult_ = mrNone;
        return false;
    }
    lastAction_ = action;
    if (action == caMinimize) {
        SetWindowState(wsMinimized);
        return true;
    }
    if (modal_ && modalResult_ == mrNone)
        modalResult_ = mrCancel;
    Hide();
    if (action == caFree && OnRelease)
        OnRelease(this);
    return true;
}

void TForm::Destroy() {
    if (destroyed_)
        return;
    destroyed_ = true;
    if (OnDestroy)
        OnDestroy(this);
}

void TForm::SetWindowState(TWindowState state) {
    if (state == windowState_)
        return;
    windowState_ = state;
    Changed(TChange::WindowState);
}

void TForm::BringToFront() {
    Changed(TChange::BringToFront);
}

void TForm::SetClientSize(int width, int height) {
    if (width == clientWidth_ && height == clientHeight_)
        return;
    clientWidth_ = width;
    clientHeight_ = height;
    Changed(TChange::Bounds);
}

void TForm::SysCommand(std::uint32_t command) {
    bool handled = false;
    if (OnSysCommand)
        OnSysCommand(this, command, handled);
    if (handled)
        return;
    switch (command & 0xFFF0) {
    case SC_MINIMIZE:
        SetWindowState(wsMinimized);
        break;
    case SC_MAXIMIZE:
        SetWindowState(wsMaximized);
        break;
    case SC_RESTORE:
        SetWindowState(wsNormal);
        break;
    case SC_CLOSE:
        Close();
        break;
    default:
        break;
    }
}

bool TForm::FocusControl(TControl *control) {
    if (!control || control == this || control->ParentForm() != this || !control->CanFocus())
        return false;
    if (inExit_) {
        // Asked from inside an OnExit: that is where the pending move goes.
        redirect_ = control;
        redirected_ = true;
        return true;
    }
    if (control == active_)
        return true;

    TControl *target = control;
    if (TControl *old = active_) {
        inExit_ = true;
        redirect_ = nullptr;
        redirected_ = false;
        try {
            if (old->OnExit)
                old->OnExit(old);
        } catch (const EAbort &) {
            inExit_ = false;
            redirected_ = false;
            return false;
        } catch (...) {
            inExit_ = false;
            redirected_ = false;
            throw;
        }
        inExit_ = false;
        if (redirected_) {
            redirected_ = false;
            if (!redirect_ || redirect_ == active_)
                return false; // the control took the focus back: the move is refused
            target = redirect_;
            if (target->ParentForm() != this || !target->CanFocus())
                return false;
        }
    }
    TControl *previous = active_;
    active_ = target;
    if (previous)
        previous->Changed(TChange::Focus);
    target->Changed(TChange::Focus);
    if (target->OnEnter)
        target->OnEnter(target);
    return target == control;
}

void TForm::ClearFocus() {
    TControl *previous = active_;
    active_ = nullptr;
    if (previous)
        previous->Changed(TChange::Focus);
}

void TForm::ControlGone(TControl *control) {
    if (active_ && (active_ == control || active_->IsChildOf(control)))
        active_ = nullptr;
    if (redirect_ && (redirect_ == control || redirect_->IsChildOf(control)))
        redirect_ = nullptr;
}

} // namespace pv
