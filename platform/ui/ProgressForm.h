// TProgressForm: the small window shown while files are packed: a label
// with the file at work, a progress bar and a Cancel button. Built in code;
// the front end places it (over the main window, or in the middle of the
// desktop when there is none) and keeps it on top. With it, its progress
// bar model TProgressBar.
#pragma once

#include <algorithm>
#include <functional>
#include <string>

#include "platform/ui/Button.h"
#include "platform/ui/Form.h"
#include "platform/ui/Label.h"

namespace pv {

// A bar from Min to Max; Position is kept inside the range.
class TProgressBar : public TControl {
  public:
    using TControl::TControl;

    int Min() const { return min_; }
    int Max() const { return max_; }
    int Position() const { return position_; }
    void SetRange(int min, int max) {
        min_ = min;
        max_ = std::max(min, max);
        position_ = std::clamp(position_, min_, max_);
        Changed(TChange::Range);
    }
    void SetMax(int max) { SetRange(min_, max); }
    void SetPosition(int position) {
        position = std::clamp(position, min_, max_);
        if (position == position_)
            return;
        position_ = position;
        Changed(TChange::Value);
    }

  private:
    int min_ = 0;
    int max_ = 100;
    int position_ = 0;
};

class TProgressForm : public TForm {
  public:
    enum TPosition { poMainFormCenter, poScreenCenter };
    static constexpr int kClientWidth = 300;
    static constexpr int kClientHeight = 100;

    explicit TProgressForm(const std::string &caption) : TForm("ProgressForm") {
        SetCaption(caption);
        SetClientSize(kClientWidth, kClientHeight);
        for (TControl *c : {static_cast<TControl *>(&Label), static_cast<TControl *>(&Bar),
                            static_cast<TControl *>(&CancelButton)})
            c->SetParent(this);
        Label.SetBounds(0, 15, 280, 13);
        Label.SetCaption("wait ...");
        Bar.SetBounds(0, 35, 280, 16);
        CancelButton.SetBounds(0, 60, 75, 25);
        CancelButton.SetCaption("&Cancel");
        Center(Label);
        Center(Bar);
        Center(CancelButton);
        CancelButton.OnClick = [this](TObject *) {
            if (OnCancel)
                OnCancel();
            Hide();
        };
    }

    // Left = (client width - control width) / 2.
    void Center(TControl &control) { control.SetLeft((kClientWidth - control.Width()) / 2); }

    TLabel Label{"Label"};
    TProgressBar Bar{"ProgressBar"};
    TButton CancelButton{"CancelButton"}; // the default button

    // What the window asks of the front end.
    bool StayOnTop = true;
    bool DialogBorder = true;
    TPosition Position = poMainFormCenter;

    // The Cancel button: tells the owner to stop; the window then hides.
    std::function<void()> OnCancel;
};

} // namespace pv
