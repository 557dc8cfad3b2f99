#pragma once
// An immutable object published to real-time readers. Writers (control threads,
// serialised by their own lock) build a new version and swap it in; readers take
// a scope that pins the version they see, with two atomic counters and no lock
// or allocation. The old version is destroyed by the writer once no reader can
// still see it, so memory is never freed on the audio thread.
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

namespace vt::engine {

namespace published_detail {
// Versions the calling thread is reading right now: a writer on such a thread
// (a DSP callback that edits its own chain) cannot wait for itself.
bool IsReadingOnThisThread(const void* iOwner);
void EnterRead(const void* iOwner);
void LeaveRead(const void* iOwner);
}  // namespace published_detail

template <class T>
class TPublished {
public:
  explicit TPublished(std::shared_ptr<const T> iInitial = std::make_shared<const T>())
      : fOwned(std::move(iInitial)) {
    fRaw.store(fOwned.get(), std::memory_order_release);
  }
  TPublished(const TPublished&) = delete;
  TPublished& operator=(const TPublished&) = delete;

  class TReadScope {
  public:
    explicit TReadScope(const TPublished& iOwner) : fOwner(iOwner) {
      for (;;) {
        fSlot = fOwner.fEpoch.load() & 1;
        fOwner.fReaders[fSlot].fetch_add(1);
        // Registered in the epoch we saw? Then a writer that flips it waits for us.
        if ((fOwner.fEpoch.load() & 1) == fSlot) break;
        fOwner.fReaders[fSlot].fetch_sub(1);
      }
      fValue = fOwner.fRaw.load();
      published_detail::EnterRead(&fOwner);
    }
    ~TReadScope() {
      published_detail::LeaveRead(&fOwner);
      fOwner.fReaders[fSlot].fetch_sub(1, std::memory_order_release);
    }
    TReadScope(const TReadScope&) = delete;
    TReadScope& operator=(const TReadScope&) = delete;
    const T& operator*() const { return *fValue; }
    const T* operator->() const { return fValue; }

  private:
    const TPublished& fOwner;
    unsigned fSlot = 0;
    const T* fValue = nullptr;
  };

  TReadScope Read() const { return TReadScope(*this); }

  // Writer side, under the writer's own lock.
  std::shared_ptr<const T> Current() const { return fOwned; }

  void Publish(std::shared_ptr<const T> iNext) {
    std::shared_ptr<const T> old = std::move(fOwned);
    fOwned = std::move(iNext);
    fRaw.store(fOwned.get());
    const unsigned epoch = fEpoch.fetch_add(1);
    if (published_detail::IsReadingOnThisThread(this)) {
      fRetired.push_back({epoch, std::move(old)});  // freed by a later Publish
      return;
    }
    while (fReaders[epoch & 1].load() != 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
    old.reset();
    // A version retired at epoch e may still be seen by readers registered in
    // epoch e; they are in the slot just drained when epoch e + 2 ends.
    std::erase_if(fRetired, [epoch](const auto& iRetired) { return iRetired.first + 2 <= epoch; });
  }

private:
  std::shared_ptr<const T> fOwned;
  std::vector<std::pair<unsigned, std::shared_ptr<const T>>> fRetired;
  std::atomic<const T*> fRaw{nullptr};
  mutable std::atomic<unsigned> fEpoch{0};
  mutable std::atomic<unsigned> fReaders[2] = {0, 0};
};

}  // namespace vt::engine
