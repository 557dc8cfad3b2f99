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

// DSP plug-ins
BOOL BASS_WADSP_Init(HWND) { return NotAvailable<BOOL>(FALSE); }
BOOL BASS_WADSP_Free() { return NotAvailable<BOOL>(FALSE); }
HDSP BASS_WADSP_Load(const char*, int, int, int, int, WINAMPWINPROC*) { return NotAvailable<HDSP>(0); }
BOOL BASS_WADSP_FreeDSP(HDSP) { return NotAvailable<BOOL>(FALSE); }
BOOL BASS_WADSP_Config(HDSP) { return NotAvailable<BOOL>(FALSE); }
BOOL BASS_WADSP_Start(HDSP, DWORD, DWORD) { return NotAvailable<BOOL>(FALSE); }
BOOL BASS_WADSP_Stop(HDSP) { return NotAvailable<BOOL>(FALSE); }
HDSP BASS_WADSP_ChannelSetDSP(HDSP, DWORD, int) { return NotAvailable<HDSP>(0); }
BOOL BASS_WADSP_ChannelRemoveDSP(HDSP) { return NotAvailable<BOOL>(FALSE); }
const char* BASS_WADSP_GetName(HDSP) { return NotAvailable<const char*>(nullptr); }
unsigned BASS_WADSP_GetModuleCount(HDSP) { return NotAvailable<unsigned>(0); }
const char* BASS_WADSP_GetModuleName(HDSP, unsigned) { return NotAvailable<const char*>(nullptr); }
