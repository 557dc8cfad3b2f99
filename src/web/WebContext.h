#pragma once
// One request on its connection thread: the request, its reply, its
// parameters and what the handlers may use.
#include <atomic>
#include <map>
#include <string>

#include "web/WebHost.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

struct TWebContext {
  IWebHost& Host;
  const httplib::Request& Request;
  httplib::Response& Response;
  // query string and form body, "+" and percent escapes decoded; the first value wins
  std::multimap<std::string, std::string> Params;
  const std::atomic<bool>& Stopping;  // file replies end early when the server stops

  bool HasParam(const std::string& iName) const { return Params.count(iName) != 0; }
  std::string Param(const std::string& iName) const {
    const auto it = Params.find(iName);
    return it == Params.end() ? std::string() : it->second;
  }
};

// Reply forms shared by the API routes.
void SendJSONReply(TWebContext& iContext, std::string iJSON);
void SendTextReply(TWebContext& iContext, const std::string& iText);
void SendNotFound(TWebContext& iContext);

// The slot index of a path group; throws when it is too large for an integer
// or names no slot.
int SlotIndexFromText(const IWebHost& iHost, const std::string& iDigits);
