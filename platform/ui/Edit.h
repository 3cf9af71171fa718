// A one-line text field.
#pragma once

#include "platform/ui/Control.h"

namespace pv {

class TEdit : public TControl {
  public:
    using TControl::TControl;
    bool CanHaveFocus() const override { return true; }

    // Texts longer than MaxLength bytes are cut (never inside a UTF-8
    // sequence), whoever sets them. 0 means no limit.
    int MaxLength() const { return maxLength_; }
    void SetMaxLength(int maxLength);
    void SetText(const std::string &text) override;
    bool UserSetText(const std::string &text) override;

    // Shown instead of each character when not 0 (passwords).
    char PasswordChar() const { return passwordChar_; }
    void SetPasswordChar(char c) { passwordChar_ = c; }

    bool Modified() const { return modified_; }
    void SetModified(bool modified) { modified_ = modified; }

    TNotifyEvent OnChange; // the text changed, by the user or the program

  private:
    int maxLength_ = 0;
    char passwordChar_ = 0;
    bool modified_ = false;
};

} // namespace pv
