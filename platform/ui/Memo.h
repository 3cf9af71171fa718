// A multi-line text field. Its text is its lines, each followed by CR LF.
#pragma once

#include <string>
#include <vector>

#include "platform/ui/Control.h"

namespace pv {

enum TScrollStyle { ssNone, ssHorizontal, ssVertical, ssBoth };

class TMemo : public TControl {
  public:
    using TControl::TControl;
    bool CanHaveFocus() const override { return true; }

    // Setting splits at CR LF, LF or CR; a final line break adds no empty
    // line. The program's change clears Modified, the user's sets it.
    std::string Text() const override;
    void SetText(const std::string &text) override;
    bool UserSetText(const std::string &text) override;

    const std::vector<std::string> &Lines() const { return lines_; }
    void SetLines(const std::vector<std::string> &lines);

    // Lines from a file (any line ends) / to a file, each ended by CR LF,
    // written with AtomicWriteFile (mode kept, 0644 for a new file). False
    // with the last error set on failure (the lines and the file unchanged).
    bool LoadFromFile(const std::string &path);
    bool SaveToFile(const std::string &path) const;

    bool Modified() const { return modified_; }
    void SetModified(bool modified);

    TScrollStyle ScrollBars() const { return scrollBars_; }
    void SetScrollBars(TScrollStyle s);
    bool WordWrap() const { return wordWrap_; }
    void SetWordWrap(bool w);

  private:
    std::vector<std::string> lines_;
    bool modified_ = false;
    TScrollStyle scrollBars_ = ssNone;
    bool wordWrap_ = true;
};

} // namespace pv
