#pragma once
// Names of the files a slot records: the relative name below the slot folder
// (what the database stores and the archive serves) and the full name.
#include <functional>
#include <string>

#include "slot/SlotTypes.h"
#include "support/DateTime.h"

struct TSlotFileNaming {
  TBassStreamingFormat fFormat = sfMP3;
  std::string fFileExtension;   // custom formats, without the dot
  std::string fCustomFilename;  // pattern with %Y %y %M %D %h %m %s; wins over the rest
  bool fFlatFilenames = false;
  std::string fFilenamePrefix;
};

// ".mp3", ".mp2", ".ogg", ".wav", or "." + the custom extension (a lone dot when empty).
std::string FileExtensionForFormat(TBassStreamingFormat iFormat, const std::string& iFileExtension);

// The relative name for a file started at iTime (local).
std::string BuildRelativeFileName(const TSlotFileNaming& iNaming, TDateTime iTime);

// The folder with a "/" appended when missing, followed by the relative name.
std::string BuildFullFileName(const std::string& iFolder, const std::string& iRelativeName);

// A relative name that does not collide: iRelativeName itself when iTaken says
// no, else "_2", "_3", ... put before the extension of the file name. A
// recording is never overwritten by a later file of the same name.
std::string UniqueRelativeFileName(const std::string& iRelativeName,
                                   const std::function<bool(const std::string& iRelativeName)>& iTaken);

// The cue sheet's "FILE" line for the recording at iFullName:
// FILE "<name without folder>" <TYPE>, the type being the extension in upper
// case without the dot, WAVE for .wav.
std::string CueSheetFileLine(const std::string& iFullName);
