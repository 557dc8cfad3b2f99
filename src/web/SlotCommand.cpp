// ExecuteCommand (declared in SlotAPI.h): the command text of /execute and
// /ws/execute, on its own so that it can be tried without the routes.
#include <climits>
#include <regex>

#include "web/SlotAPI.h"

void ExecuteCommand(IWebHost& iHost, const std::string& iCommand) {
  static const std::regex kStart("^SLOT (\\d+) START$");
  static const std::regex kStop("^SLOT (\\d+) STOP$");
  std::smatch m;
  const bool start = std::regex_match(iCommand, m, kStart);
  if (!start && !std::regex_match(iCommand, m, kStop)) return;
  // a number too large for an integer names no slot either: the controller
  // ignores indexes outside its slots, so pass one that is surely outside
  long long number = 0;
  try {
    number = std::stoll(m[1].str());
  } catch (const std::out_of_range&) {
    number = LLONG_MAX;
  }
  const int index = number - 1 > INT_MAX ? INT_MAX : static_cast<int>(number - 1);
  if (start)
    iHost.PostStartSlot(index);
  else
    iHost.PostStopSlot(index);
}
