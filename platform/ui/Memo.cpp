#include "platform/ui/Memo.h"

#include "platform/FileSystem.h"

namespace pv {

namespace {

std::vector<std::string> SplitLines(const std::string &text) {
    std::vector<std::string> lines;
    std::size_t start = 0, i = 0;
    while (i < text.size()) {
        if (text[i] == '\r' || text[i] == '\n') {
            lines.push_back(text.substr(start, i - start));
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            start = ++i;
        } else {
            ++i;
        }
    }
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

} // namespace

std::string TMemo::Text() const {
    std::string t;
    for (const std::string &l : lines_)
        t += l + "\r\n";
    return t;
}

void TMemo::SetText(const std::string &text) {
    SetLines(SplitLines(text));
}

bool TMemo::UserSetText(const std::string &text) {
    if (!EffectivelyEnabled() || !Showing() || !TakeFocusForUser())
        return false;
    lines_ = SplitLines(text);
    Changed(TChange::Text);
    SetModified(true);
    return true;
}

void TMemo::SetLines(const std::vector<std::string> &lines) {
    lines_ = lines;
    Changed(TChange::Text);
    SetModified(false);
}

void TMemo::SetModified(bool modified) {
    if (modified == modified_)
        return;
    modified_ = modified;
    Changed(TChange::Modified);
}

void TMemo::SetScrollBars(TScrollStyle s) {
    if (s == scrollBars_)
        return;
    scrollBars_ = s;
    Changed(TChange::Style);
}

void TMemo::SetWordWrap(bool w) {
    if (w == wordWrap_)
        return;
    wordWrap_ = w;
    Changed(TChange::Style);
}

bool TMemo::LoadFromFile(const std::string &path) {
    std::string data;
    try {
        TFileStream s(path, fmOpenRead | fmShareDenyNone);
        char buf[65536];
        while (std::size_t n = s.Read(buf, sizeof buf))
            data.append(buf, n);
    } catch (const Exception &) {
        return false; // the stream left the reason in the last error
    }
    SetText(data);
    return true;
}

bool TMemo::SaveToFile(const std::string &path) const {
    // Whole or not at all, so a full disk leaves the old text intact.
    TAtomicWrite how;
    how.Mode = 0644;
    return AtomicWriteFile(path, Text(), how);
}

} // namespace pv
