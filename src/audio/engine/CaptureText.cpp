#include "audio/engine/CaptureText.h"

#include <mutex>
#include <set>

namespace vt::engine {

const char* KeepText(const std::string& iText) {
  static std::mutex sMutex;
  static std::set<std::string> sTexts;  // nodes never move, so c_str() stays valid
  std::lock_guard lock(sMutex);
  return sTexts.insert(iText).first->c_str();
}

}  // namespace vt::engine
