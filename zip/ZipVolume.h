// What the packer needs to know of the volume an archive lives on: that it
// can be reached, and whether it is a labelled removable disk (a disk of a
// spanned set).
#pragma once

#include <string>

namespace pv {

struct TVolumeInfo {
    bool Removable = false;
    std::string Label;
};

// The volume of the mount holding path's nearest existing directory (a
// relative path counts from the working directory). False when that mount
// cannot be queried.
bool GetVolumeInfo(const std::string &path, TVolumeInfo &info);

} // namespace pv
