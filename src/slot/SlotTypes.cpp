#include "slot/SlotTypes.h"

#include <array>

namespace {
const std::array<const char*, 3> kSourceWords{"None", "Soundcard", "Stream"};
const std::array<const char*, 3> kChannelWords{"stereo", "left", "right"};
const std::array<const char*, 8> kFormatWords{"mp3", "mp2", "ogg", "wav16", "wav32", "customwav", "customraw", "none"};
const std::array<const char*, 3> kModeWords{"mono", "stereo", "jointstereo"};

template <size_t N>
std::string Word(const std::array<const char*, N>& iWords, int32_t iValue) {
  return (iValue >= 0 && static_cast<size_t>(iValue) < N) ? iWords[iValue] : iWords[0];
}
template <size_t N>
int32_t Find(const std::array<const char*, N>& iWords, const std::string& iText, int32_t iFirst, int32_t iUnknown) {
  for (size_t i = iFirst; i < N; ++i)
    if (iText == iWords[i]) return static_cast<int32_t>(i);
  return iUnknown;
}
}  // namespace

std::string RecordSourceToText(TRecordSource iValue) { return Word(kSourceWords, iValue); }
// "None" is what rsDisabled is written as, but only the two source words are read back.
TRecordSource TextToRecordSource(const std::string& iText) {
  return static_cast<TRecordSource>(Find(kSourceWords, iText, 1, rsDisabled));
}
std::string RecordChannelsToText(TRecordChannels iValue) { return Word(kChannelWords, iValue); }
TRecordChannels TextToRecordChannels(const std::string& iText) {
  return static_cast<TRecordChannels>(Find(kChannelWords, iText, 0, rcStereo));
}
std::string AudioFormatToText(TBassStreamingFormat iValue) { return Word(kFormatWords, iValue); }
TBassStreamingFormat TextToAudioFormat(const std::string& iText) {
  return static_cast<TBassStreamingFormat>(Find(kFormatWords, iText, 0, sfMP3));
}
std::string ModeToText(TBassStreamingMode iValue) { return Word(kModeWords, iValue); }
TBassStreamingMode TextToMode(const std::string& iText) {
  return static_cast<TBassStreamingMode>(Find(kModeWords, iText, 0, smMono));
}
