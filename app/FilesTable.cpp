#include "app/FilesTable.h"

#include <array>
#include <cctype>

namespace pv {

namespace {

enum FieldId { fIndex, fFileName, fZFileName, fError, fSent };

constexpr std::array<const char *, 5> kFieldNames = {"INDEX", "FILENAME", "ZFILENAME", "ERROR",
                                                     "SENT"};

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string Cut(std::string_view value, std::size_t size) {
    return std::string(value.substr(0, size));
}

} // namespace

// --- TField ---

std::string TFilesTable::TField::AsString() const {
    const Record &r = table_.Source();
    switch (id_) {
    case fIndex:
        return r.Index ? std::to_string(*r.Index) : std::string();
    case fFileName:
        return r.FileName;
    case fZFileName:
        return r.ZFileName;
    case fError:
        return r.Error;
    default:
        return r.Sent ? "True" : "False";
    }
}

int TFilesTable::TField::AsInteger() const {
    const Record &r = table_.Source();
    switch (id_) {
    case fIndex:
        return r.Index.value_or(0);
    case fSent:
        return r.Sent ? 1 : 0;
    default:
        throw EDatabaseError("'" + AsString() + "' is not a valid integer value");
    }
}

bool TFilesTable::TField::AsBoolean() const {
    if (id_ == fSent)
        return table_.Source().Sent;
    if (id_ == fIndex)
        return table_.Source().Index.value_or(0) != 0;
    throw EDatabaseError(std::string("Field '") + FieldName() + "' is not a boolean field");
}

bool TFilesTable::TField::IsNull() const {
    const Record &r = table_.Source();
    switch (id_) {
    case fIndex:
        return !r.Index.has_value();
    case fFileName:
        return r.FileName.empty();
    case fZFileName:
        return r.ZFileName.empty();
    case fError:
        return r.Error.empty();
    default:
        return false;
    }
}

void TFilesTable::TField::SetAsString(std::string_view value) {
    table_.CheckWritable();
    Record &r = table_.Target();
    switch (id_) {
    case fIndex:
    case fSent:
        throw EDatabaseError(std::string("Field '") + FieldName() + "' takes no text");
    case fFileName:
        r.FileName = Cut(value, FileNameSize);
        break;
    case fZFileName:
        r.ZFileName = Cut(value, ZFileNameSize);
        break;
    case fError:
        r.Error = Cut(value, ErrorSize);
        break;
    }
}

void TFilesTable::TField::SetAsInteger(int value) {
    table_.CheckWritable();
    Record &r = table_.Target();
    if (id_ == fIndex)
        r.Index = value;
    else if (id_ == fSent)
        r.Sent = value != 0;
    else
        SetAsString(std::to_string(value));
}

void TFilesTable::TField::SetAsBoolean(bool value) {
    table_.CheckWritable();
    if (id_ != fSent)
        throw EDatabaseError(std::string("Field '") + FieldName() + "' is not a boolean field");
    table_.Target().Sent = value;
}

void TFilesTable::TField::Clear() {
    table_.CheckWritable();
    Record &r = table_.Target();
    switch (id_) {
    case fIndex:
        r.Index.reset();
        break;
    case fFileName:
        r.FileName.clear();
        break;
    case fZFileName:
        r.ZFileName.clear();
        break;
    case fError:
        r.Error.clear();
        break;
    default:
        r.Sent = false;
    }
}

const char *TFilesTable::TField::FieldName() const {
    return kFieldNames[id_];
}

// --- TFilesTable ---

TFilesTable::TField TFilesTable::FieldByName(std::string_view name) {
    for (std::size_t i = 0; i < kFieldNames.size(); ++i)
        if (SameName(name, kFieldNames[i]))
            return TField(*this, static_cast<int>(i));
    throw EDatabaseError("Field '" + std::string(name) + "' not found");
}

void TFilesTable::First() {
    Post();
    cursor_ = 0;
}

void TFilesTable::Next() {
    Post();
    if (cursor_ < rows_.size())
        ++cursor_;
}

void TFilesTable::GotoBookmark(TBookmark bookmark) {
    Post();
    if (bookmark > rows_.size())
        throw EDatabaseError("Record not found");
    cursor_ = bookmark;
}

void TFilesTable::Append() {
    Post();
    buffer_ = Record();
    state_ = TState::dsInsert;
}

void TFilesTable::Edit() {
    if (state_ != TState::dsBrowse)
        return;
    if (cursor_ >= rows_.size())
        throw EDatabaseError("Cannot perform this operation on an empty dataset");
    buffer_ = rows_[cursor_];
    state_ = TState::dsEdit;
}

void TFilesTable::Post() {
    if (state_ == TState::dsEdit) {
        rows_[cursor_] = buffer_;
    } else if (state_ == TState::dsInsert) {
        rows_.push_back(buffer_);
        cursor_ = rows_.size() - 1;
    }
    state_ = TState::dsBrowse;
}

void TFilesTable::Cancel() {
    state_ = TState::dsBrowse;
}

void TFilesTable::EmptyTable() {
    state_ = TState::dsBrowse;
    rows_.clear();
    cursor_ = 0;
}

bool TFilesTable::Locate(std::string_view field, std::string_view value) {
    Post();
    TField f = FieldByName(field);
    const std::size_t saved = cursor_;
    for (cursor_ = 0; cursor_ < rows_.size(); ++cursor_)
        if (f.AsString() == value)
            return true;
    cursor_ = saved;
    return false;
}

bool TFilesTable::Locate(const std::function<bool(const Record &)> &match) {
    Post();
    for (std::size_t i = 0; i < rows_.size(); ++i)
        if (match(rows_[i])) {
            cursor_ = i;
            return true;
        }
    return false;
}

void TFilesTable::SetStamp(std::optional<TFileStamp> stamp) {
    Post();
    if (cursor_ < rows_.size())
        rows_[cursor_].Stamp = stamp;
}

void TFilesTable::SetBackedUp() {
    Post();
    if (cursor_ < rows_.size())
        rows_[cursor_].BackedUp = true;
}

const TFilesTable::Record &TFilesTable::Current() const {
    static const Record empty;
    return cursor_ < rows_.size() ? rows_[cursor_] : empty;
}

TFilesTable::Record &TFilesTable::Target() {
    return buffer_;
}

const TFilesTable::Record &TFilesTable::Source() const {
    return state_ == TState::dsBrowse ? Current() : buffer_;
}

void TFilesTable::CheckWritable() const {
    if (state_ == TState::dsBrowse)
        throw EDatabaseError("Dataset not in edit or insert mode");
}

} // namespace pv
