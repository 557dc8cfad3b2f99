#pragma once
// How one request is examined: parameters, access level, built-in and
// override files, command paths, then the API routes.
#include <atomic>
#include <string>

#include "web/WebHost.h"
#include "web/WebServerConfig.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

class TWebRequestHandler {
public:
  TWebRequestHandler(IWebHost& iHost, TWebServerConfig iConfig, const std::atomic<bool>& iStopping);

  // GET, POST and HEAD.
  void HandleCommandGet(const httplib::Request& iRequest, httplib::Response& oResponse);
  // Every other method: logged by name (the reply is the empty success reply,
  // no access check).
  void HandleCommandOther(const std::string& iMethod);

  TAccessLevel AccessLevel(const httplib::Request& iRequest) const;

private:
  IWebHost& fHost;
  const TWebServerConfig fConfig;
  const std::string fOverrideFolder;  // the configured one or the default, fixed for the run
  const std::atomic<bool>& fStopping;
};
