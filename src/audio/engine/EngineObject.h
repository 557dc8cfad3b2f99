#pragma once
// The engine's handle table, shared by every part of the engine (streams, mixers,
// encoders, capture back-ends). An object lives while its handle is registered or
// while someone still holds a reference to it.
#include <memory>
#include "audio/engine/Engine.h"

namespace vt::engine {

class TEngineObject {
public:
  virtual ~TEngineObject() = default;
  // Called once when the handle is freed (BASS_StreamFree, BASS_Encode_Stop, ...),
  // before the table drops its reference. Stop threads and release devices here.
  virtual void Free() {}
  // Objects that real-time threads look up (push streams fed by capture
  // callbacks) return true: UnregisterObject then waits briefly for those
  // lookups to let go, so the memory is not released on a real-time thread.
  virtual bool ReleaseOffRealtime() const { return false; }
};

DWORD RegisterObject(std::shared_ptr<TEngineObject> iObject);  // new non-zero handle
std::shared_ptr<TEngineObject> LookupObject(DWORD iHandle);     // nullptr if unknown
bool UnregisterObject(DWORD iHandle);  // calls Free(); false (BASS_ERROR_HANDLE set) if unknown

template <class T>
std::shared_ptr<T> Lookup(DWORD iHandle) {
  return std::dynamic_pointer_cast<T>(LookupObject(iHandle));
}

void SetError(int iCode);  // the calling thread's BASS_ErrorGetCode
inline bool Fail(int iCode) { SetError(iCode); return false; }

}  // namespace vt::engine
