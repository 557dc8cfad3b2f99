#pragma once
// The slot's enumerations and the words that stand for them in the settings file.
#include <cstdint>
#include <string>

enum TRecordSource : int32_t { rsDisabled, rsSoundcard, rsStream };
enum TRecordChannels : int32_t { rcStereo, rcLeft, rcRight };
enum TBassStreamingFormat : int32_t { sfMP3, sfMP2, sfOggVorbis, sfWAV16, sfWAV32, sfCustomWAV, sfCustomRaw, sfNone };
enum TBassStreamingMode : int32_t { smMono, smStereo, smJointStereo };
enum TStreamingStatus : int32_t { ssDisabled, ssConnecting, ssConnected, ssError };

// Settings-file words. Reading compares case-sensitively; an unknown word gives
// the value named in each function's comment.
std::string RecordSourceToText(TRecordSource iValue);             // "None", "Soundcard", "Stream"
TRecordSource TextToRecordSource(const std::string& iText);       // unknown: rsDisabled
std::string RecordChannelsToText(TRecordChannels iValue);         // "stereo", "left", "right"
TRecordChannels TextToRecordChannels(const std::string& iText);   // unknown: rcStereo
std::string AudioFormatToText(TBassStreamingFormat iValue);       // "mp3" ... "none"
TBassStreamingFormat TextToAudioFormat(const std::string& iText); // unknown: sfMP3
std::string ModeToText(TBassStreamingMode iValue);                // "mono", "stereo", "jointstereo"
TBassStreamingMode TextToMode(const std::string& iText);          // unknown: smMono
