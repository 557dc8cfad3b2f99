// Placeholders for the DSP plug-in. It moves to its own file (SlotPlugin.cpp)
// when it is written; until then a slot behaves as if the feature were
// switched off, and says so where a user would look for it.
#include "slot/SlotInfo.h"
#include "shell/VantorelGlobals.h"
#include "support/SimpleThread.h"

// ---------------------------------------------------------------- DSP plug-in
void TSlotInfo::ReloadWinampPlugin() {
  if (!fWinampPlugin.Empty()) DoLogMessage("DSP plug-ins are not available in this build");
}

void TSlotInfo::FreeWinampPlugin() {}
