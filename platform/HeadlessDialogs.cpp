#include "platform/HeadlessDialogs.h"

#include <string>

namespace pv {

namespace {

const char *ButtonName(int id) {
    switch (id) {
    case IDOK:
        return "OK";
    case IDCANCEL:
        return "Cancel";
    case IDABORT:
        return "Abort";
    case IDRETRY:
        return "Retry";
    case IDIGNORE:
        return "Ignore";
    case IDYES:
        return "Yes";
    case IDNO:
        return "No";
    default:
        return "?";
    }
}

std::string Prefix(const std::string &caption) {
    return caption.empty() ? "" : "[" + caption + "] ";
}

} // namespace

int THeadlessDialogs::ShowMessage(const TMessageRequest &request) {
    const std::string prefix = Prefix(request.Caption);
    std::fprintf(out_, "%s%s\n", prefix.c_str(), request.Text.c_str());
    if (request.Buttons.size() > 1)
        std::fprintf(out_, "%sanswered: %s\n", prefix.c_str(), ButtonName(request.DefaultButton));
    std::fflush(out_);
    return request.DefaultButton;
}

bool THeadlessDialogs::InputQuery(const std::string &caption, const std::string &prompt,
                                  std::string &) {
    std::fprintf(out_, "%s%s (no display: cancelled)\n", Prefix(caption).c_str(), prompt.c_str());
    std::fflush(out_);
    return false;
}

bool THeadlessDialogs::BrowseForFolder(const TBrowseRequest &request, std::string &) {
    std::fprintf(out_, "%s%s (no display: cancelled)\n", Prefix(request.Caption).c_str(),
                 request.Title.c_str());
    std::fflush(out_);
    return false;
}

bool THeadlessDialogs::ShellOpen(const std::string &documentOrUrl) {
    std::fprintf(out_, "No display to open %s\n", documentOrUrl.c_str());
    std::fflush(out_);
    return false;
}

} // namespace pv
