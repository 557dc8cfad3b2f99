#pragma once
// A host with a fixed set of slots, recording what the server asked of it.
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "web/WebHost.h"

class TFakeWebHost : public IWebHost {
public:
  std::vector<TWebSlotSnapshot> Slots;
  // Called as a slot is read, on the request's thread (set before the server starts).
  std::function<void()> OnSlot;

  int SlotCount() const override {
    std::lock_guard<std::mutex> lock(fMutex);
    return static_cast<int>(Slots.size());
  }
  TWebSlotSnapshot Slot(int iIndex) const override {
    if (OnSlot) OnSlot();
    std::lock_guard<std::mutex> lock(fMutex);
    if (iIndex < 0 || iIndex >= static_cast<int>(Slots.size())) throw std::out_of_range("no such slot");
    return Slots[static_cast<size_t>(iIndex)];
  }
  void PostStartSlot(int iIndex) override { Record("start " + std::to_string(iIndex)); }
  void PostStopSlot(int iIndex) override { Record("stop " + std::to_string(iIndex)); }
  void LogMessage(const std::string& iMessage) override { Record("log " + iMessage); }
  void LogWebServerMessage(const std::string& iMessage) override { Record("weblog " + iMessage); }

  std::vector<std::string> Calls() const {
    std::lock_guard<std::mutex> lock(fMutex);
    return fCalls;
  }
  void ClearCalls() {
    std::lock_guard<std::mutex> lock(fMutex);
    fCalls.clear();
  }

private:
  void Record(const std::string& iCall) {
    std::lock_guard<std::mutex> lock(fMutex);
    fCalls.push_back(iCall);
  }
  mutable std::mutex fMutex;
  std::vector<std::string> fCalls;
};
