// tblFiles: the in-memory file list of one job, a small table with a cursor.
// Rows are only ever appended or emptied all at once, so a bookmark is the
// row's position and stays valid until the next EmptyTable.
#pragma once

#include "platform/FileSystem.h"
#include "platform/Object.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pv {

class EDatabaseError : public Exception {
  public:
    using Exception::Exception;
    const char *ClassName() const override { return "EDatabaseError"; }
};

class TFilesTable {
  public:
    static constexpr std::size_t FileNameSize = 255;
    static constexpr std::size_t ZFileNameSize = 255;
    static constexpr std::size_t ErrorSize = 128;

    struct Record {
        std::optional<int> Index; // unset until attachments are prepared
        std::string FileName;
        std::string ZFileName;
        std::string Error;
        bool Sent = false;
        // Size and modification time of the file as its mail carried it:
        // not a field of the table, bookkeeping for the steps after sending.
        std::optional<TFileStamp> Stamp;
        // Its backup copy of this job is complete and synced.
        bool BackedUp = false;

        bool Pending() const { return Error.empty() && !Sent; }
        bool IsSent() const { return Error.empty() && Sent; }
    };

    enum class TState { dsBrowse, dsEdit, dsInsert };
    using TBookmark = std::size_t;

    // One field of the current row (of the edit buffer while editing).
    class TField {
      public:
        std::string AsString() const;
        int AsInteger() const;
        bool AsBoolean() const;
        bool IsNull() const;
        void SetAsString(std::string_view value);
        void SetAsInteger(int value);
        void SetAsBoolean(bool value);
        void Clear();
        const char *FieldName() const;

      private:
        friend class TFilesTable;
        TField(TFilesTable &table, int id) : table_(table), id_(id) {}
        TFilesTable &table_;
        int id_;
    };

    // Fields are found by name without regard to case; an unknown name raises.
    TField FieldByName(std::string_view name);

    void First();
    void Next();
    bool Eof() const { return state_ != TState::dsInsert && cursor_ >= rows_.size(); }
    bool IsEmpty() const { return rows_.empty(); }
    std::size_t RecordCount() const { return rows_.size(); }
    TBookmark GetBookmark() const { return cursor_; }
    void GotoBookmark(TBookmark bookmark);

    // Append starts a new row with the defaults; Post stores it (or the
    // edited current row). Moving the cursor posts a pending edit first.
    void Append();
    void Edit();
    void Post();
    void Cancel();
    TState State() const { return state_; }
    void EmptyTable();

    // Moves to the first row (from the top) whose named field equals value;
    // the cursor stays where it was when none does.
    bool Locate(std::string_view field, std::string_view value);
    bool Locate(const std::function<bool(const Record &)> &match);

    // Remembers the stamp on the current row (an edit in progress is posted
    // first); past the end it does nothing.
    void SetStamp(std::optional<TFileStamp> stamp);
    // Notes on the current row that its backup copy exists, the same way.
    void SetBackedUp();

    // The current row as stored (defaults past the end).
    const Record &Current() const;
    const std::vector<Record> &Rows() const { return rows_; }

  private:
    Record &Target();
    const Record &Source() const;
    void CheckWritable() const;

    std::vector<Record> rows_;
    std::size_t cursor_ = 0;
    TState state_ = TState::dsBrowse;
    Record buffer_;
};

} // namespace pv
