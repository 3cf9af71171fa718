#include "host/Icon.h"

#include <map>
#include <mutex>

#include "platform/FileSystem.h"

namespace pv {

namespace {

struct Handles {
    std::mutex m;
    std::map<HICON, std::shared_ptr<const std::string>> images;
    HICON next = 0x100;
};

Handles &Registry() {
    static auto *handles = new Handles;
    return *handles;
}

} // namespace

TIcon::~TIcon() {
    ReleaseHandle();
}

void TIcon::LoadFromData(const std::string &bytes) {
    SetData(std::make_shared<const std::string>(bytes));
}

bool TIcon::LoadFromFile(const std::string &path) {
    std::string bytes;
    try {
        TFileStream s(path, fmOpenRead | fmShareDenyNone);
        char buf[16384];
        while (std::size_t n = s.Read(buf, sizeof buf))
            bytes.append(buf, n);
    } catch (const Exception &) {
        return false; // the stream left the reason in the last error
    }
    LoadFromData(bytes);
    return true;
}

void TIcon::LoadFromResourceName(const std::string &name) {
    if (name.empty() || name.find('/') != std::string::npos || !LoadFromFile(AppDir() + name))
        throw EResNotFound(name);
}

void TIcon::Assign(const TIcon *other) {
    if (other == this)
        return;
    SetData(other ? other->data_ : nullptr);
}

void TIcon::SetData(std::shared_ptr<const std::string> data) {
    ReleaseHandle();
    data_ = std::move(data);
    if (OnChange)
        OnChange(this);
}

HICON TIcon::Handle() const {
    if (Empty())
        return -1;
    if (handle_ == -1) {
        Handles &r = Registry();
        std::lock_guard<std::mutex> lock(r.m);
        handle_ = r.next++;
        r.images.emplace(handle_, data_);
    }
    return handle_;
}

void TIcon::ReleaseHandle() const {
    if (handle_ == -1)
        return;
    Handles &r = Registry();
    std::lock_guard<std::mutex> lock(r.m);
    r.images.erase(handle_);
    handle_ = -1;
}

std::shared_ptr<const std::string> IconImage(HICON handle) {
    Handles &r = Registry();
    std::lock_guard<std::mutex> lock(r.m);
    auto it = r.images.find(handle);
    return it == r.images.end() ? nullptr : it->second;
}

} // namespace pv
