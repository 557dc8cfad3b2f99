// ExecuteCommand (declared in SlotAPI.h): the command text of /execute and
// /ws/execute, on its own so that it can be tried without the routes.
#include <climits>
#include <string_view>

#include "web/SlotAPI.h"

namespace {
// The whole text is "SLOT <digits> <iVerb>" (one blank each, case as given);
// oDigits gets the digits. A plain scan: the library's regular expressions
// recurse once per character, and a long number ran out of stack.
bool MatchCommand(std::string_view iText, std::string_view iVerb, std::string_view& oDigits) {
  constexpr std::string_view kPrefix = "SLOT ";
  if (iText.substr(0, kPrefix.size()) != kPrefix) return false;
  iText.remove_prefix(kPrefix.size());
  size_t n = 0;
  while (n < iText.size() && iText[n] >= '0' && iText[n] <= '9') ++n;
  if (n == 0 || iText.size() != n + 1 + iVerb.size() || iText[n] != ' ' || iText.substr(n + 1) != iVerb) return false;
  oDigits = iText.substr(0, n);
  return true;
}
}  // namespace

void ExecuteCommand(IWebHost& iHost, const std::string& iCommand) {
  std::string_view digits;
  const bool start = MatchCommand(iCommand, "START", digits);
  if (!start && !MatchCommand(iCommand, "STOP", digits)) return;
  // a number too large for an integer names no slot either: the controller
  // ignores indexes outside its slots, so pass one that is surely outside
  while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
  long long number = 0;
  if (digits.size() > 18) {
    number = LLONG_MAX;
  } else {
    for (char c : digits) number = number * 10 + (c - '0');
  }
  const int index = number - 1 > INT_MAX ? INT_MAX : static_cast<int>(number - 1);
  if (start)
    iHost.PostStartSlot(index);
  else
    iHost.PostStopSlot(index);
}
