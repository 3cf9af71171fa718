// Dialogs without a display: every text goes to stderr and the default
// answer is taken; input boxes and folder browsers count as cancelled.
#pragma once

#include <cstdio>

#include "platform/Dialogs.h"

namespace pv {

class THeadlessDialogs : public TDialogService {
  public:
    explicit THeadlessDialogs(std::FILE *out = stderr) : out_(out) {}
    int ShowMessage(const TMessageRequest &request) override;
    bool InputQuery(const std::string &caption, const std::string &prompt,
                    std::string &value) override;
    bool BrowseForFolder(const TBrowseRequest &request, std::string &folder) override;
    // Prints what would be opened; nothing is opened, so false.
    bool ShellOpen(const std::string &documentOrUrl) override;

  private:
    std::FILE *out_;
};

} // namespace pv
