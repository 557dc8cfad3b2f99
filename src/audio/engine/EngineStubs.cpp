// Calls whose back-ends are not built yet: they fail cleanly with
// BASS_ERROR_NOTAVAIL so callers take their error paths. Each group moves to
// its own file when its back-end is written.
#include "audio/engine/Engine.h"
#include "audio/engine/EngineObject.h"

using vt::engine::SetError;

namespace {
template <class T>
T NotAvailable(T iResult) {
  SetError(BASS_ERROR_NOTAVAIL);
  return iResult;
}
}  // namespace

// casting and the built-in server
BOOL BASS_Encode_CastInit(HENCODE, const char*, const char*, const char*, const char*, const char*,
                          const char*, const char*, const char*, DWORD, DWORD) {
  return NotAvailable<BOOL>(FALSE);
}
BOOL BASS_Encode_CastSetTitle(HENCODE, const char*, const char*) { return NotAvailable<BOOL>(FALSE); }
DWORD BASS_Encode_ServerInit(HENCODE, const char*, DWORD, DWORD, DWORD, ENCODECLIENTPROC*, void*) {
  return NotAvailable<DWORD>(0);
}
BOOL BASS_Encode_ServerKick(HENCODE, const char*) { return NotAvailable<BOOL>(FALSE); }
