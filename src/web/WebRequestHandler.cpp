#include "web/WebRequestHandler.h"

#include <httplib.h>

#include <cctype>
#include <exception>
#include <map>

#include "web/BasicAuth.h"
#include "web/CommandOrigin.h"
#include "web/ContentType.h"
#include "web/EmbeddedFiles.h"
#include "web/FileReply.h"
#include "web/FormParams.h"
#include "web/MetricsRoute.h"
#include "web/OverrideFolder.h"
#include "web/PasswordHash.h"
#include "web/SlotAPI.h"
#include "web/WebContext.h"
#include "web/WebReplyCounts.h"

namespace {
std::multimap<std::string, std::string> RequestParams(const httplib::Request& iRequest) {
  // the library has decoded the query string ("+" as a blank, then escapes)
  std::multimap<std::string, std::string> params(iRequest.params.begin(), iRequest.params.end());
  const std::string type = iRequest.get_header_value("Content-Type");
  if (type.compare(0, 33, "application/x-www-form-urlencoded") == 0) ParseFormText(iRequest.body, params);
  return params;
}

void SendUnauthorized(httplib::Response& oResponse) {
  oResponse.status = 401;
  oResponse.set_header("WWW-Authenticate", "Basic realm=\"Quorvane Vantorel\"");
  oResponse.set_content("<html><head><title>401 Unauthorized</title></head><body><h1>401 Unauthorized</h1></body></html>",
                        "text/html");
}

bool IsSameSiteCommand(const httplib::Request& iRequest) {
  const auto header = [&](const char* iName) -> std::optional<std::string> {
    if (!iRequest.has_header(iName)) return std::nullopt;
    return iRequest.get_header_value(iName);
  };
  return IsSameSiteRequest(iRequest.get_header_value("Host"), header("Origin"), header("Referer"));
}

void SendEmptySuccess(httplib::Response& oResponse) {
  oResponse.status = 200;
  oResponse.body.clear();
}
}  // namespace

TWebRequestHandler::TWebRequestHandler(IWebHost& iHost, TWebServerConfig iConfig, const std::atomic<bool>& iStopping)
    : fHost(iHost),
      fConfig(std::move(iConfig)),
      fOverrideFolder(fConfig.OverrideFolder.empty() ? DefaultOverrideFolder() : fConfig.OverrideFolder),
      fStopping(iStopping) {}

TAccessLevel TWebRequestHandler::AccessLevel(const httplib::Request& iRequest) const {
  // without Basic credentials (none, or another scheme) the anonymous rights apply
  if (!OffersBasicCredentials(iRequest.get_header_value("Authorization"))) return fConfig.AnonymousAccess;
  const auto credentials = ParseBasicAuthorization(iRequest.get_header_value("Authorization"));
  if (!credentials) return alNone;  // credentials that match no user give no access
  const std::string hash = PasswordHash(credentials->Password);
  if (credentials->User == fConfig.AdminUser && hash == fConfig.AdminPasswordHash) return alAdmin;
  if (credentials->User == fConfig.ReadOnlyUser && hash == fConfig.ReadOnlyPasswordHash) return alReadOnly;
  return alNone;
}

void TWebRequestHandler::HandleCommandGet(const httplib::Request& iRequest, httplib::Response& oResponse) {
  // Every reply is counted by its status class, whichever way it leaves.
  struct TCountOnExit {
    httplib::Response& fResponse;
    ~TCountOnExit() { CountWebReply(fResponse.status); }
  } countOnExit{oResponse};
  try {
    TWebContext context{fHost, iRequest, oResponse, RequestParams(iRequest), fStopping};
    const TAccessLevel level = AccessLevel(iRequest);
    if (level == alNone) {
      SendUnauthorized(oResponse);
      return;
    }
    const std::string& path = iRequest.path;  // percent escapes already decoded
    const bool isCommandPath = (level == alAdmin && path == "/execute") || path == "/ws/execute";
    if (isCommandPath && iRequest.method != "HEAD" && !IsSameSiteCommand(iRequest)) {
      // a page of another site may make the browser send this with its
      // credentials, or to a server that grants anonymous rights
      oResponse.status = 403;
      oResponse.set_content("Forbidden: command from another site", "text/plain");
      return;
    }

    if (iRequest.method == "GET") {
      if (path == "/") {
        oResponse.set_redirect("/index.html", 302);
        return;
      }
      const std::string localFile = ResolveOverrideFile(fOverrideFolder, path);
      if (!localFile.empty() && SendWholeFile(context, localFile, std::string())) return;
      if (const TEmbeddedFile* file = FindEmbeddedFile(path)) {
        oResponse.status = 200;
        oResponse.set_content(file->Data.data(), file->Data.size(), ContentTypeForPath(path));
        return;
      }
      if (isCommandPath) {
        ExecuteCommand(fHost, context.Param("command"));
        SendEmptySuccess(oResponse);
        return;
      }
      if (HandleMetricsRoute(context, path)) return;
      if (!HandleSlotRoutes(context, path)) SendNotFound(context);
      return;
    }
    if (iRequest.method == "POST") {
      if (isCommandPath) ExecuteCommand(fHost, context.Param("command"));
      SendEmptySuccess(oResponse);
      return;
    }
    SendEmptySuccess(oResponse);  // HEAD: nothing beyond the access check
  } catch (const std::exception& e) {
    oResponse = httplib::Response();
    oResponse.status = 500;
    oResponse.reason = "Error";
    oResponse.set_content(e.what(), "text/plain");
  }
}

void TWebRequestHandler::HandleCommandOther(const std::string& iMethod) { fHost.LogMessage(iMethod); }
