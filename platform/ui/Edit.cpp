#include "platform/ui/Edit.h"

namespace pv {

namespace {

// Cut to at most max bytes without splitting a UTF-8 sequence.
std::string Cut(const std::string &s, int max) {
    if (max <= 0 || s.size() <= static_cast<std::size_t>(max))
        return s;
    std::size_t n = static_cast<std::size_t>(max);
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80)
        --n;
    return s.substr(0, n);
}

} // namespace

void TEdit::SetMaxLength(int maxLength) {
    maxLength_ = maxLength < 0 ? 0 : maxLength;
    SetText(text_);
}

void TEdit::SetText(const std::string &text) {
    std::string t = Cut(text, maxLength_);
    if (t == text_)
        return;
    text_ = t;
    Changed(TChange::Text);
    if (OnChange)
        OnChange(this);
}

bool TEdit::UserSetText(const std::string &text) {
    if (!EffectivelyEnabled() || !Showing() || !TakeFocusForUser())
        return false;
    modified_ = true; // already set when OnChange runs
    SetText(text);
    return true;
}

} // namespace pv
