#include "host/IconList.h"

#include <algorithm>
#include <cstdint>

#include "platform/FileSystem.h"

namespace pv {

namespace {

void PutU32(std::string &out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// Little-endian 32 bits at pos, or throws when the data ends before.
std::int32_t GetI32(const std::string &in, std::size_t &pos) {
    if (in.size() - pos < 4)
        throw EReadError("Stream read error");
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= std::uint32_t(static_cast<unsigned char>(in[pos + i])) << (8 * i);
    pos += 4;
    return static_cast<std::int32_t>(v);
}

} // namespace

TIconList::~TIconList() {
    OnChange = nullptr;
    items_.clear();
}

void TIconList::Check(int index, int limit) const {
    if (index < 0 || index > limit)
        throw EListError(index);
}

TIcon *TIconList::Items(int index) const {
    Check(index, Count() - 1);
    return items_[static_cast<std::size_t>(index)].get();
}

std::unique_ptr<TIcon> TIconList::MakeIcon(const TIcon *picture) {
    auto icon = std::make_unique<TIcon>();
    icon->Assign(picture);
    icon->OnChange = [this](TObject *) { Changed(); };
    return icon;
}

void TIconList::SetItem(int index, const TIcon *picture) {
    Check(index, Count());
    if (index == Count()) {
        items_.push_back(MakeIcon(picture));
        Changed();
        return;
    }
    auto &slot = items_[static_cast<std::size_t>(index)];
    if (!slot) {
        slot = MakeIcon(picture);
        Changed();
    } else {
        slot->Assign(picture); // reports through the icon's OnChange
    }
}

int TIconList::Add(const TIcon *picture) {
    Insert(Count(), picture);
    return Count() - 1;
}

int TIconList::AddResource(const std::string &name) {
    InsertResource(Count(), name);
    return Count() - 1;
}

void TIconList::Insert(int index, const TIcon *picture) {
    Check(index, Count());
    items_.insert(items_.begin() + index, MakeIcon(picture));
    Changed();
}

void TIconList::InsertResource(int index, const std::string &name) {
    Check(index, Count());
    TIcon loaded;
    loaded.LoadFromResourceName(name);
    Insert(index, &loaded);
}

void TIconList::Delete(int index) {
    Check(index, Count() - 1);
    std::unique_ptr<TIcon> gone = std::move(items_[static_cast<std::size_t>(index)]);
    items_.erase(items_.begin() + index);
    if (gone)
        gone->OnChange = nullptr;
    gone.reset();
    Changed();
}

void TIconList::Exchange(int index1, int index2) {
    Check(index1, Count() - 1);
    Check(index2, Count() - 1);
    std::swap(items_[static_cast<std::size_t>(index1)], items_[static_cast<std::size_t>(index2)]);
    Changed();
}

void TIconList::Move(int from, int to) {
    Check(from, Count() - 1);
    Check(to, Count() - 1);
    if (from == to)
        return;
    std::unique_ptr<TIcon> icon = std::move(items_[static_cast<std::size_t>(from)]);
    items_.erase(items_.begin() + from);
    items_.insert(items_.begin() + to, std::move(icon));
    Changed();
}

int TIconList::IndexOf(const TIcon *icon) const {
    if (!icon)
        return -1;
    for (std::size_t i = 0; i < items_.size(); ++i)
        if (items_[i].get() == icon)
            return static_cast<int>(i);
    return -1;
}

void TIconList::Clear() {
    BeginUpdate();
    for (int i = Count() - 1; i >= 0; --i)
        Delete(i);
    EndUpdate();
}

void TIconList::Assign(const TIconList &other) {
    if (&other == this)
        return;
    BeginUpdate();
    Clear();
    for (const auto &icon : other.items_) {
        if (icon)
            Add(icon.get());
        else
            items_.push_back(nullptr);
    }
    pending_ = true;
    EndUpdate();
}

void TIconList::Assign(const TIcon *icon) {
    BeginUpdate();
    Clear();
    Add(icon);
    EndUpdate();
}

void TIconList::EndUpdate() {
    if (updates_ > 0 && --updates_ == 0 && pending_) {
        pending_ = false;
        Changed();
    }
}

void TIconList::Changed() {
    if (updates_ > 0) {
        pending_ = true;
        return;
    }
    if (OnChange)
        OnChange(this);
}

bool TIconList::ShouldStore(const TIconList *ancestor) const {
    if (items_.empty())
        return false;
    if (!ancestor || ancestor->Count() != Count())
        return true;
    for (std::size_t i = 0; i < items_.size(); ++i) {
        const TIcon *mine = items_[i].get();
        const TIcon *theirs = ancestor->items_[i].get();
        std::string a = mine ? mine->Data() : std::string();
        std::string b = theirs ? theirs->Data() : std::string();
        if (a != b)
            return true;
    }
    return false;
}

std::string TIconList::WriteData() const {
    std::string out;
    PutU32(out, static_cast<std::uint32_t>(items_.size()));
    for (const auto &icon : items_) {
        std::string bytes = icon ? icon->Data() : std::string();
        PutU32(out, static_cast<std::uint32_t>(bytes.size()));
        out += bytes;
    }
    return out;
}

void TIconList::ReadData(const std::string &data) {
    // Parsed in full first, so damaged data changes nothing.
    std::size_t pos = 0;
    std::int32_t count = GetI32(data, pos);
    if (count < 0)
        throw EReadError("Stream read error");
    std::vector<std::string> images;
    std::vector<bool> present;
    for (std::int32_t i = 0; i < count; ++i) {
        std::int32_t size = GetI32(data, pos);
        if (size <= 0) {
            images.emplace_back();
            present.push_back(false);
            continue;
        }
        if (data.size() - pos < static_cast<std::size_t>(size))
            throw EReadError("Stream read error");
        images.push_back(data.substr(pos, static_cast<std::size_t>(size)));
        present.push_back(true);
        pos += static_cast<std::size_t>(size);
    }
    BeginUpdate();
    Clear();
    for (std::size_t i = 0; i < images.size(); ++i) {
        if (present[i]) {
            TIcon icon;
            icon.LoadFromData(images[i]);
            Add(&icon);
        } else {
            items_.push_back(nullptr);
        }
    }
    pending_ = true;
    EndUpdate();
}

} // namespace pv
