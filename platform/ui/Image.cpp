#include "platform/ui/Image.h"

namespace pv {

void TImage::SetPicture(const std::string &path) {
    if (path == picture_)
        return;
    picture_ = path;
    Changed(TChange::Picture);
}

} // namespace pv
