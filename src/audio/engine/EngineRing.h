#pragma once
// Single-producer/single-consumer byte ring. Memory is allocated once at
// construction; Write and Read never allocate, lock or wait, so one side may be
// a capture callback or the thread that pulls a mixer.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>

namespace vt::engine {

class TSpscRing {
public:
  explicit TSpscRing(size_t iCapacity) : fCapacity(iCapacity), fData(new std::byte[iCapacity ? iCapacity : 1]) {}
  TSpscRing(const TSpscRing&) = delete;
  TSpscRing& operator=(const TSpscRing&) = delete;

  size_t Capacity() const { return fCapacity; }
  // Either side may ask; the answer is a snapshot.
  size_t Available() const {
    return fWrite.load(std::memory_order_acquire) - fRead.load(std::memory_order_acquire);
  }
  size_t Free() const { return fCapacity - Available(); }

  // Producer: writes all of iLength bytes or nothing (returns false when they do
  // not fit), so frames are never split by an overflow.
  bool Write(const void* iData, size_t iLength) {
    const auto* data = static_cast<const std::byte*>(iData);
    return WriteInPlace(iLength, [data](std::byte* iPart, size_t iOffset, size_t iBytes) {
      std::memcpy(iPart, data + iOffset, iBytes);
    });
  }

  // Consumer: reads up to iLength bytes, returns the number read.
  size_t Read(void* oData, size_t iLength) {
    auto* data = static_cast<std::byte*>(oData);
    return ReadInPlace(iLength, [data](const std::byte* iPart, size_t iOffset, size_t iBytes) {
      std::memcpy(data + iOffset, iPart, iBytes);
    });
  }

  // Producer, without a copy of its own: iFill(part, offset, length) fills the
  // iLength bytes in place, once or, where the storage wraps, twice (offset
  // counts from the first byte). All or nothing, as Write.
  template <class TFill>
  bool WriteInPlace(size_t iLength, TFill&& iFill) {
    const size_t w = fWrite.load(std::memory_order_relaxed);
    // acquire: the consumer's release of fRead says those bytes were read.
    const size_t r = fRead.load(std::memory_order_acquire);
    if (fCapacity - (w - r) < iLength) return false;
    if (iLength == 0) return true;
    const size_t at = w % fCapacity;
    const size_t first = std::min(iLength, fCapacity - at);
    iFill(fData.get() + at, size_t(0), first);
    if (iLength > first) iFill(fData.get(), first, iLength - first);
    // release: the bytes are in place before the consumer sees the new index.
    fWrite.store(w + iLength, std::memory_order_release);
    return true;
  }

  // Consumer, without a copy of its own: hands up to iLength queued bytes to
  // iTake(part, offset, length) where they lie, once or twice as with
  // WriteInPlace; they count as read when iTake returns. Returns the bytes read.
  template <class TTake>
  size_t ReadInPlace(size_t iLength, TTake&& iTake) {
    const size_t r = fRead.load(std::memory_order_relaxed);
    // acquire: pairs with the producer's release of fWrite.
    const size_t w = fWrite.load(std::memory_order_acquire);
    const size_t n = std::min(iLength, w - r);
    if (n == 0) return 0;
    const size_t at = r % fCapacity;
    const size_t first = std::min(n, fCapacity - at);
    iTake(static_cast<const std::byte*>(fData.get() + at), size_t(0), first);
    if (n > first) iTake(static_cast<const std::byte*>(fData.get()), first, n - first);
    fRead.store(r + n, std::memory_order_release);
    return n;
  }

  // Consumer: drops everything queued so far.
  void Clear() { fRead.store(fWrite.load(std::memory_order_acquire), std::memory_order_release); }

private:
  static_assert(std::atomic<size_t>::is_always_lock_free);
  const size_t fCapacity;
  std::unique_ptr<std::byte[]> fData;
  // Monotonic byte counters; the difference is the fill level.
  alignas(64) std::atomic<size_t> fWrite{0};
  alignas(64) std::atomic<size_t> fRead{0};
};

}  // namespace vt::engine
