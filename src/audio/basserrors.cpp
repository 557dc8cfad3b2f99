#include "audio/basserrors.h"

#include <fmt/format.h>

std::string BassErrorText(int iErrorCode) {
  const char* text = nullptr;
  switch (iErrorCode) {
    case 1: text = "memory error"; break;
    case 2: text = "can't open the file"; break;
    case 3: text = "can't find a free sound driver"; break;
    case 4: text = "the sample buffer was lost"; break;
    case 5: text = "invalid handle"; break;
    case 6: text = "unsupported sample format"; break;
    case 7: text = "invalid position"; break;
    case 8: text = "BASS_Init has not been successfully called"; break;
    case 9: text = "BASS_Start has not been successfully called"; break;
    case 14: text = "already initialized/paused/whatever"; break;
    case 18: text = "can't get a free channel"; break;
    case 19: text = "an illegal type was specified"; break;
    case 20: text = "an illegal parameter was specified"; break;
    case 21: text = "no 3D support"; break;
    case 22: text = "no EAX support"; break;
    case 23: text = "illegal device number"; break;
    case 24: text = "not playing"; break;
    case 25: text = "illegal sample rate"; break;
    case 27: text = "the stream is not a file stream"; break;
    case 29: text = "no hardware voices available"; break;
    case 31: text = "the MOD music has no sequence data"; break;
    case 32: text = "no internet connection could be opened"; break;
    case 33: text = "couldn't create the file"; break;
    case 34: text = "effects are not enabled"; break;
    case 37: text = "requested data is not available"; break;
    case 38: text = "the channel is a \"decoding channel\""; break;
    case 39: text = "a sufficient DirectX version is not installed"; break;
    case 40: text = "connection timedout"; break;
    case 41: text = "unsupported file format"; break;
    case 42: text = "unavailable speaker"; break;
    case 43: text = "invalid BASS version (used by add-ons)"; break;
    case 44: text = "codec is not available/supported"; break;
    case 45: text = "the channel/file has ended"; break;
    case 2000: text = "ACM codec selection cancelled"; break;
    case 2100: text = "access denied (invalid password)"; break;
    case 4000: text = "Not a decoding channel"; break;
    case 4001: text = "BPM/Beat detection is in use"; break;
    default: return fmt::format("BASS error {}", iErrorCode);
  }
  return fmt::format("{} (BASS error {})", text, iErrorCode);
}
