// An icon as the tray component keeps it: the bytes of an image file (an
// icon file, PNG or XPM) that the front end decodes. Its handle lets the
// notification area find the image again, as long as the icon is unchanged.
#pragma once

#include <memory>
#include <string>

#include "host/NotifyArea.h"
#include "platform/Object.h"

namespace pv {

class EResNotFound : public Exception {
  public:
    explicit EResNotFound(const std::string &name) : Exception("Resource " + name + " not found") {}
    const char *ClassName() const override { return "EResNotFound"; }
};

class TIcon : public TObject {
  public:
    TIcon() = default;
    ~TIcon() override;
    TIcon(const TIcon &) = delete;
    TIcon &operator=(const TIcon &) = delete;

    bool Empty() const { return !data_ || data_->empty(); }
    std::string Data() const { return data_ ? *data_ : std::string(); }
    void LoadFromData(const std::string &bytes);
    // False, with the last error set, when the file cannot be read.
    bool LoadFromFile(const std::string &path);
    // The program's resources are the image files installed beside it.
    void LoadFromResourceName(const std::string &name);
    // A copy of the other's picture; nullptr empties this one.
    void Assign(const TIcon *other);
    void Clear() { Assign(nullptr); }

    // -1 while empty. Valid until the icon changes or goes away.
    HICON Handle() const;

    TNotifyEvent OnChange;

  private:
    void SetData(std::shared_ptr<const std::string> data);
    void ReleaseHandle() const;

    std::shared_ptr<const std::string> data_;
    mutable HICON handle_ = -1;
};

// The image behind a live handle; nullptr for an unknown or released one.
std::shared_ptr<const std::string> IconImage(HICON handle);

} // namespace pv
