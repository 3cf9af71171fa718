// TIconList: the animation frames of the tray icon, an ordered list of icons
// it owns (a slot may be empty). Every change, also one of an icon in it,
// reaches OnChange, except inside BeginUpdate/EndUpdate, where the outermost
// EndUpdate reports once.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/Icon.h"

namespace pv {

class EListError : public Exception {
  public:
    explicit EListError(int index)
        : Exception("List index out of bounds (" + std::to_string(index) + ")") {}
    const char *ClassName() const override { return "EListError"; }
};

class TIconList : public TObject {
  public:
    TIconList() = default;
    ~TIconList() override;
    TIconList(const TIconList &) = delete;
    TIconList &operator=(const TIconList &) = delete;

    int Count() const { return static_cast<int>(items_.size()); }
    // nullptr for an empty slot. Indexes outside the list raise EListError.
    TIcon *Items(int index) const;
    // Copies the picture into slot index; index == Count appends.
    void SetItem(int index, const TIcon *picture);
    int Add(const TIcon *picture);
    int AddResource(const std::string &name);
    void Insert(int index, const TIcon *picture);
    void InsertResource(int index, const std::string &name);
    void Delete(int index);
    void Exchange(int index1, int index2);
    void Move(int from, int to);
    int IndexOf(const TIcon *icon) const;
    // Deletes from the last to the first.
    void Clear();
    // Copies every item of other, or makes this a list of one copy of icon.
    void Assign(const TIconList &other);
    void Assign(const TIcon *icon);

    void BeginUpdate() { ++updates_; }
    void EndUpdate();

    // The stored form: a 32-bit little-endian count, then per item a 32-bit
    // size and that many bytes of the image (size 0 for an empty slot).
    // Stored only with at least one item and, when an ancestor list of the
    // same length exists, at least one item different from the ancestor's.
    bool ShouldStore(const TIconList *ancestor) const;
    std::string WriteData() const;
    // Replaces the list; damaged data raises EReadError and leaves it as it was.
    void ReadData(const std::string &data);

    TNotifyEvent OnChange;

  private:
    void Check(int index, int limit) const;
    std::unique_ptr<TIcon> MakeIcon(const TIcon *picture);
    void Changed();

    std::vector<std::unique_ptr<TIcon>> items_;
    int updates_ = 0;
    bool pending_ = false;
};

} // namespace pv
