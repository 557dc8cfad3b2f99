// Replies decided by our code rather than the HTTP library's, request by
// request over a plain socket: status, headers and the log line.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "RawClient.h"
#include "WebTestServer.h"

namespace {
struct TReplyCase {
  const char* What;
  TAccessLevel Anon;
  std::string Request;
  int Status;
  const char* Header;  // "Name: value" expected in the reply, or nullptr
  const char* Logged;  // the message log line, or nullptr for none
  bool Executed;       // the stop command for slot 1 was posted
};

const std::string kAdmin = "Authorization: Basic YWRtaW46c2VjcmV0\r\n";  // admin:secret

std::string Get(const std::string& iPath, const std::string& iHeaders = "") {
  return "GET " + iPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + iHeaders + "\r\n";
}

std::string PostCommand(const std::string& iPath, const std::string& iHeaders, const std::string& iHost = "127.0.0.1:5252") {
  const std::string body = "command=SLOT+1+STOP";
  return "POST " + iPath + " HTTP/1.1\r\nHost: " + iHost +
         "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n" + iHeaders + "\r\n" + body;
}

std::string Chunked(const std::string& iData, size_t iChunk) {
  std::string out;
  for (size_t i = 0; i < iData.size(); i += iChunk) {
    const std::string part = iData.substr(i, iChunk);
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", part.size());
    out += size + part + "\r\n";
  }
  return out + "0\r\n\r\n";
}

std::string ChunkedCommand(size_t iPadding) {
  const std::string body = "command=SLOT+1+STOP&pad=" + std::string(iPadding, 'x');
  return "POST /ws/execute HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
         "Transfer-Encoding: chunked\r\n\r\n" +
         Chunked(body, 4000);
}
}  // namespace

TEST(WebRepliesTest, RequestToStatusHeadersAndLogLine) {
  const TReplyCase cases[] = {
      // a Range header that cannot be parsed is no reason to refuse, and never before the access check
      {"bad range, no access", alNone, Get("/ws/slots/0/name", "Range: bytes=200-100\r\n"), 401,
       "WWW-Authenticate: Basic realm=\"Quorvane Vantorel\"", nullptr, false},
      {"garbage range, no access", alNone, Get("/index.html", "Range: bytes=abc\r\n"), 401, nullptr, nullptr, false},
      {"reversed range on a text route", alReadOnly, Get("/ws/slots/0/name", "Range: bytes=200-100\r\n"), 200,
       "Content-Type: text/plain; charset=UTF-8", nullptr, false},
      {"unknown range unit", alReadOnly, Get("/ws/slots", "Range: items=0-5\r\n"), 200, "Content-Type: application/json",
       nullptr, false},
      // other methods: logged by name, empty success, no access check
      {"PROPFIND", alNone, "PROPFIND / HTTP/1.1\r\nHost: x\r\nDepth: 1\r\n\r\n", 200, "Content-Length: 0",
       "log PROPFIND", false},
      {"unknown method", alNone, "FROBNICATE /x HTTP/1.1\r\nHost: x\r\n\r\n", 200, "Content-Length: 0",
       "log FROBNICATE", false},
      {"PUT without a length", alNone, "PUT /x HTTP/1.1\r\nHost: x\r\n\r\n", 200, "Content-Length: 0", "log PUT", false},
      {"PATCH without a length", alNone, "PATCH /x HTTP/1.1\r\nHost: x\r\n\r\n", 200, nullptr, "log PATCH", false},
      {"DELETE with a chunked body", alNone, "DELETE /x HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" +
       Chunked("abc", 2), 200, nullptr, "log DELETE", false},
      {"OPTIONS *", alNone, "OPTIONS * HTTP/1.1\r\nHost: x\r\n\r\n", 200, nullptr, "log OPTIONS", false},
      {"TRACE", alNone, "TRACE / HTTP/1.1\r\nHost: x\r\n\r\n", 200, nullptr, "log TRACE", false},
      {"malformed method", alNone, "G(T / HTTP/1.1\r\nHost: x\r\n\r\n", 400, nullptr, nullptr, false},
      // errors carry the reason phrase "Error" and the message
      {"slot that does not exist", alReadOnly, Get("/ws/slots/9/name"), 500, nullptr, nullptr, false},
      {"slot number as long as a request line may be", alReadOnly, Get("/ws/slot/" + std::string(8000, '1') + "/stats"),
       500, nullptr, nullptr, false},
      {"long path that matches no route", alReadOnly, Get("/ws/slots/" + std::string(8000, '1') + "x"), 404, nullptr,
       nullptr, false},
      // another scheme than Basic is no credentials: the anonymous rights apply
      {"Bearer, anonymous read-only", alReadOnly, Get("/ws/slots/0/name", "Authorization: Bearer abc.def\r\n"), 200,
       nullptr, nullptr, false},
      {"Digest, no anonymous access", alNone, Get("/ws/slots/0/name", "Authorization: Digest username=\"admin\"\r\n"),
       401, nullptr, nullptr, false},
      {"bare Basic, anonymous read-only", alReadOnly, Get("/ws/slots/0/name", "Authorization: Basic\r\n"), 200, nullptr,
       nullptr, false},
      {"Basic that does not decode", alReadOnly, Get("/ws/slots/0/name", "Authorization: Basic !!!\r\n"), 401, nullptr,
       nullptr, false},
      // commands from pages of other sites are refused; scripts send neither header
      {"command without Origin or Referer", alNone, PostCommand("/execute", kAdmin), 200, nullptr, nullptr, true},
      {"command from our own page", alNone, PostCommand("/execute", kAdmin + "Origin: http://127.0.0.1:5252\r\n"), 200,
       nullptr, nullptr, true},
      {"command from another site", alNone, PostCommand("/execute", kAdmin + "Origin: http://evil.example\r\n"), 403,
       nullptr, nullptr, false},
      {"command from another port", alReadOnly, PostCommand("/ws/execute", "Origin: http://127.0.0.1:8080\r\n"), 403,
       nullptr, nullptr, false},
      {"command from a sandboxed page", alReadOnly, PostCommand("/ws/execute", "Origin: null\r\n"), 403, nullptr,
       nullptr, false},
      {"command with another site as referrer", alReadOnly,
       PostCommand("/ws/execute", "Referer: http://evil.example/page.html\r\n"), 403, nullptr, nullptr, false},
      {"command with our page as referrer", alReadOnly,
       PostCommand("/ws/execute", "Referer: http://LOGGER.local/status.html\r\n", "logger.local"), 200, nullptr,
       nullptr, true},
      {"command by GET from another site", alReadOnly,
       Get("/ws/execute?command=SLOT%201%20STOP", "Origin: http://evil.example\r\n"), 403, nullptr, nullptr, false},
      // a chunked body obeys the same cap as one with a length
      {"small chunked command", alReadOnly, ChunkedCommand(100), 200, nullptr, nullptr, true},
      {"chunked body over the cap", alReadOnly, ChunkedCommand(70 * 1024), 413, nullptr, nullptr, false},
      {"length over the cap", alReadOnly,
       "POST /ws/execute HTTP/1.1\r\nHost: x\r\nContent-Length: 70000\r\n\r\ncommand=SLOT+1+STOP", 413, nullptr,
       nullptr, false},
      {"two lengths", alReadOnly,
       "POST /ws/execute HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\nContent-Length: 19\r\n\r\ncommand=SLOT+1+STOP",
       400, nullptr, nullptr, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    TWebTestServer server;
    TWebSlotSnapshot slot;
    slot.Name = "News";
    server.Host.Slots = {slot};
    server.Start(TWebTestServer::Config(c.Anon));
    TRawClient client(server.Server.Port());
    const std::string reply = client.Exchange(c.Request);
    EXPECT_EQ(RawStatus(reply), c.Status) << reply.substr(0, 300);
    if (c.Status == 500) EXPECT_EQ(reply.rfind("HTTP/1.1 500 Error\r\n", 0), 0u) << reply;
    if (c.Header) EXPECT_NE(reply.find(std::string("\r\n") + c.Header + "\r\n"), std::string::npos) << reply;
    server.Server.Stop();
    const auto calls = server.Host.Calls();
    std::vector<std::string> logged;
    for (const auto& call : calls)
      if (call.rfind("log ", 0) == 0) logged.push_back(call);
    EXPECT_EQ(logged, c.Logged ? std::vector<std::string>{c.Logged} : std::vector<std::string>{});
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "stop 0") == 1, c.Executed);
  }
}
