#include "net/Buffer.h"

#include <algorithm>
#include <cstring>

namespace pv {

namespace {
constexpr int kDefaultSize = 1514;
}

TBuffer::TBuffer(int Size) {
    fSize = Size > 0 ? Size : kDefaultSize;
    fBuf = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(fSize));
}

void TBuffer::SetSize(int Size) {
    if (Size <= 0)
        Size = kDefaultSize;
    if (Size == fSize)
        return;
    if (Unsent() == 0) {
        fBuf = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(Size));
        fWrCount = fRdCount = 0;
    } else {
        // Shrinking below the stored bytes would lose data: keep what fits and
        // clamp the counts so the invariant holds.
        auto buf = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(Size));
        int keep = std::min(fWrCount, Size);
        std::memcpy(buf.get(), fBuf.get(), static_cast<std::size_t>(keep));
        fBuf = std::move(buf);
        fWrCount = keep;
        fRdCount = std::min(fRdCount, fWrCount);
    }
    fSize = Size;
}

int TBuffer::Write(const void *Data, int Len) {
    int space = fSize - fWrCount;
    if (space <= 0 || Len <= 0)
        return 0;
    int n = std::min(space, Len);
    std::memcpy(fBuf.get() + fWrCount, Data, static_cast<std::size_t>(n));
    fWrCount += n;
    return n;
}

std::pair<const char *, int> TBuffer::Peek() const {
    if (fWrCount <= fRdCount)
        return {nullptr, 0};
    return {fBuf.get() + fRdCount, fWrCount - fRdCount};
}

int TBuffer::Remove(int Len) {
    if (fWrCount <= fRdCount || Len <= 0)
        return 0;
    int n = std::min(Len, fWrCount - fRdCount);
    fRdCount += n;
    if (fRdCount >= fWrCount)
        fRdCount = fWrCount = 0;
    return n;
}

} // namespace pv
