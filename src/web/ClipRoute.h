#pragma once
// /ws/slots/<n>/clip?start=&end=&format=wav|mp3: the audio of a span of a
// slot's archive, cut from the recordings that cover it and joined at their
// cuts, streamed while it is produced.
#include <string>
#include <vector>

#include "support/DateTime.h"
#include "web/ClipPlan.h"
#include "web/WebContext.h"

// The longest span a clip may have.
inline constexpr double kMaxClipSeconds = 24 * 3600.0;

// The recordings of the slot's archive that may overlap the span (the file
// being written up to now included), probed for their rate and channels.
std::vector<TClipRecording> ClipRecordings(const TWebSlotSnapshot& iSlot, TDateTime iStartLocal, TDateTime iEndLocal);

void HandleClipRoute(TWebContext& iContext, const TWebSlotSnapshot& iSlot);
