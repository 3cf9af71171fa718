// One fixed-size block of outgoing bytes; a socket keeps its unsent output as
// a list of these.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>

namespace pv {

class TBuffer {
  public:
    // A size of 0 or less means 1514.
    explicit TBuffer(int Size);
    TBuffer(const TBuffer &) = delete;
    TBuffer &operator=(const TBuffer &) = delete;

    int Size() const { return fSize; }
    // Keeps the bytes stored so far.
    void SetSize(int Size);
    // Bytes stored (at most the free space at the end).
    int Write(const void *Data, int Len);
    // The first unsent byte and the number of unsent bytes (nullptr, 0 when none).
    std::pair<const char *, int> Peek() const;
    // Marks up to Len bytes as sent; both counts return to 0 once all went out.
    int Remove(int Len);
    int WrCount() const { return fWrCount; }
    int RdCount() const { return fRdCount; }
    int Unsent() const { return fWrCount - fRdCount; }

  private:
    std::unique_ptr<char[]> fBuf;
    int fSize = 0;
    int fWrCount = 0;
    int fRdCount = 0;
};

} // namespace pv
