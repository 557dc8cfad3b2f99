#include "web/WebContext.h"

#include <httplib.h>

#include <stdexcept>

void SendJSONReply(TWebContext& iContext, std::string iJSON) {
  iContext.Response.status = 200;
  // what set_content does, but the body moved in rather than copied: archive
  // replies run to hundreds of kilobytes
  iContext.Response.headers.erase("Content-Type");
  iContext.Response.set_header("Content-Type", "application/json");
  iContext.Response.body = std::move(iJSON);
}

void SendTextReply(TWebContext& iContext, const std::string& iText) {
  iContext.Response.status = 200;
  iContext.Response.set_content(iText, "text/plain; charset=UTF-8");
}

void SendNotFound(TWebContext& iContext) {
  iContext.Response.status = 404;
  iContext.Response.set_content("not found", "text/plain");
}

int SlotIndexFromText(const IWebHost& iHost, const std::string& iDigits) {
  const size_t first = iDigits.find_first_not_of('0');
  const std::string significant = first == std::string::npos ? "0" : iDigits.substr(first);
  if (significant.size() > 9) throw std::out_of_range("Invalid slot number: " + iDigits);
  const int index = std::stoi(significant);
  if (index >= iHost.SlotCount()) throw std::out_of_range("Invalid slot number: " + iDigits);
  return index;
}
