// The dialog service with real dialogs: message boxes, the input box, the
// folder browser, and opening documents and addresses with the desktop's
// handler (xdg-open).
#pragma once

#include "platform/Dialogs.h"

namespace pv {

class TQtDialogs : public TDialogService {
  public:
    int ShowMessage(const TMessageRequest &request) override;
    bool InputQuery(const std::string &caption, const std::string &prompt,
                    std::string &value) override;
    bool BrowseForFolder(const TBrowseRequest &request, std::string &folder) override;
    // A relative name is resolved against the current directory.
    bool ShellOpen(const std::string &documentOrUrl) override;
};

} // namespace pv
