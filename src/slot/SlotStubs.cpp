// Placeholders for the outgoing stream and the DSP plug-in.
// Each group moves to its own file (SlotStreaming.cpp,
// SlotPlugin.cpp) when it is written; until then a slot behaves as if the
// feature were switched off, and says so where a user would look for it.
#include "slot/SlotInfo.h"
#include "shell/VantorelGlobals.h"
#include "support/SimpleThread.h"

// ---------------------------------------------------------------- outgoing streaming
void TSlotInfo::StreamingThreadExecute() {
  TSimpleThread* self = TSimpleThread::Current();
  while (self && !self->Terminated()) {
    if (fEnabled && fStreamingEnabled)
      SetStreamingStatus(ssError, "Streaming is not available in this build");
    else
      SetStreamingStatus(ssDisabled, "");
    self->WaitForEvent(1000);
  }
}

void TSlotInfo::EncoderNotifyProc(HENCODE, DWORD iStatus, void* iUser) {
  static_cast<TSlotInfo*>(iUser)->EncoderNotify(iStatus);
}

void TSlotInfo::EncoderNotify(DWORD) {
  if (fStreamingThread) fStreamingThread->SignalEvent();
}

void TSlotInfo::SetStreamingStatus(TStreamingStatus iStatus, const std::string& iMessage) {
  std::lock_guard<std::recursive_mutex> lock(fCS);
  if (iStatus != ssConnected)
    fStreamingActiveSince = -1;
  else if (fStreamingStatus != ssConnected)
    fStreamingActiveSince = static_cast<int64_t>(Clock().TickCount());
  fStreamingStatus = iStatus;
  fStreamingMessage.Set(iMessage);
}

void TSlotInfo::UpdateOutgoingStreamTitle() {}
void TSlotInfo::SendStreamingTitle() {}
