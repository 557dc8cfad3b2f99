#include "audio/engine/EngineObject.h"

#include <chrono>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace vt::engine {
namespace {

thread_local int tErrorCode = BASS_OK;

struct THandleTable {
  std::mutex fLock;
  std::unordered_map<DWORD, std::shared_ptr<TEngineObject>> fObjects;
  DWORD fNext = 0;
};

THandleTable& Table() {
  // Never destroyed: encoder threads may still finish while the process exits.
  static auto* sTable = new THandleTable();
  return *sTable;
}

}  // namespace

DWORD RegisterObject(std::shared_ptr<TEngineObject> iObject) {
  if (!iObject) return 0;
  auto& table = Table();
  std::lock_guard lock(table.fLock);
  // Handles are not reused soon after a free, so a stale handle held by a slot
  // cannot reach a newer object by accident.
  do {
    ++table.fNext;
  } while (table.fNext == 0 || table.fObjects.count(table.fNext) != 0);
  table.fObjects.emplace(table.fNext, std::move(iObject));
  return table.fNext;
}

std::shared_ptr<TEngineObject> LookupObject(DWORD iHandle) {
  auto& table = Table();
  std::lock_guard lock(table.fLock);
  auto it = table.fObjects.find(iHandle);
  return it == table.fObjects.end() ? nullptr : it->second;
}

bool UnregisterObject(DWORD iHandle) {
  std::shared_ptr<TEngineObject> object;
  {
    auto& table = Table();
    std::lock_guard lock(table.fLock);
    auto it = table.fObjects.find(iHandle);
    if (it == table.fObjects.end()) return Fail(BASS_ERROR_HANDLE);
    object = std::move(it->second);
    table.fObjects.erase(it);
  }
  object->Free();
  // A real-time thread may still hold the object from a lookup in progress (a
  // capture callback in BASS_StreamPutData). Give it a moment to let go, so the
  // object's memory is released here and not on that thread.
  if (object->ReleaseOffRealtime())
    for (int i = 0; i < 2000 && object.use_count() > 1; ++i)
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  object.reset();
  SetError(BASS_OK);
  return true;
}

void SetError(int iCode) { tErrorCode = iCode; }

}  // namespace vt::engine

int BASS_ErrorGetCode() { return vt::engine::tErrorCode; }
