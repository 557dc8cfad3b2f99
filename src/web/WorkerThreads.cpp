#include "web/WorkerThreads.h"

#include <chrono>
#include <system_error>
#include <thread>

namespace {
constexpr auto kIdleLinger = std::chrono::seconds(5);
}

TWorkerThreads::TWorkerThreads(int iCap) : fState(std::make_shared<TState>()), fCap(iCap > 0 ? iCap : 1) {}

TWorkerThreads::~TWorkerThreads() { Shutdown(); }

bool TWorkerThreads::TryRun(std::function<void()> iWork) {
  std::lock_guard<std::mutex> lock(fState->Mutex);
  if (fState->ShuttingDown || fState->Active >= fCap) return false;
  ++fState->Active;
  if (fState->Idle > fState->Pending.size()) {
    fState->Pending.push_back(std::move(iWork));
    fState->WorkArrived.notify_one();
    return true;
  }
  ++fState->Threads;
  try {
    std::thread(&TWorkerThreads::Serve, fState, std::move(iWork)).detach();
    return true;
  } catch (const std::system_error&) {
    --fState->Threads;
    --fState->Active;
    return false;
  }
}

void TWorkerThreads::Serve(std::shared_ptr<TState> iState, std::function<void()> iWork) {
  for (;;) {
    try {
      iWork();
    } catch (...) {
    }
    iWork = nullptr;  // drop what it holds before telling that it is done
    std::unique_lock<std::mutex> lock(iState->Mutex);
    --iState->Active;
    iState->Ended.notify_all();
    ++iState->Idle;
    const bool got = iState->WorkArrived.wait_for(
        lock, kIdleLinger, [&] { return iState->ShuttingDown || !iState->Pending.empty(); });
    --iState->Idle;
    if (!got || iState->Pending.empty()) {
      --iState->Threads;
      iState->Ended.notify_all();
      return;
    }
    iWork = std::move(iState->Pending.front());
    iState->Pending.pop_front();
  }
}

void TWorkerThreads::Shutdown(const std::function<void(const std::function<bool()>&)>& iWaitActive) {
  {
    std::lock_guard<std::mutex> lock(fState->Mutex);
    fState->ShuttingDown = true;  // no new work from here on
  }
  const auto state = fState;
  if (iWaitActive) {
    iWaitActive([state] {
      std::lock_guard<std::mutex> lock(state->Mutex);
      return state->Active == 0;
    });
  }
  std::unique_lock<std::mutex> lock(fState->Mutex);
  fState->Ended.wait(lock, [this] { return fState->Active == 0; });
  fState->WorkArrived.notify_all();
  fState->Ended.wait(lock, [this] { return fState->Threads == 0; });
}

int TWorkerThreads::Active() const {
  std::lock_guard<std::mutex> lock(fState->Mutex);
  return fState->Active;
}

int TWorkerThreads::Threads() const {
  std::lock_guard<std::mutex> lock(fState->Mutex);
  return fState->Threads;
}
