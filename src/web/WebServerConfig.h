#pragma once
// Settings the web server takes at each start. They do not change while it
// listens, so request threads read them without a lock.
#include <cstddef>
#include <string>

enum TAccessLevel { alNone = 0, alAdmin = 1, alReadOnly = 2 };

struct TWebServerConfig {
  std::string Port = "5252";  // a port, or address ":" port (the last colon separates)
  std::string AdminUser;
  std::string AdminPasswordHash;  // PasswordHash form; empty matches no password
  std::string ReadOnlyUser;
  std::string ReadOnlyPasswordHash;
  TAccessLevel AnonymousAccess = alNone;

  // Files here replace the built-in ones; empty = "resources/web" beside the executable.
  std::string OverrideFolder;

  // Bounds for a server that may face the open network.
  int MaxConnections = 64;            // requests served at once, a thread each; more get 503
  int MaxOpenConnections = 512;       // connections held at once, those still sending included
  int MaxConnectionsPerAddress = 16;  // of them from one client address; more get 503
  int HeaderTimeoutMs = 5000;         // from the connection to the end of the request's headers
  int BodyTimeoutMs = 5000;           // for a body, plus one second per MinBodyBytesPerSecond
  int MinBodyBytesPerSecond = 8192;
  int WriteTimeoutSeconds = 30;       // a client that stops reading is dropped
  size_t MaxRequestBodyBytes = 64 * 1024;  // larger bodies get 413, chunked ones too
};

// The stored AnonymousAccess value: "Admin" and "ReadOnly" grant rights,
// anything else none.
TAccessLevel AccessLevelFromSettingText(const std::string& iText);

// The value written back as AnonymousAccess: "none", "Admin" or "ReadOnly".
const char* AccessLevelSettingText(TAccessLevel iLevel);

struct TListenAddress {
  std::string Host;  // "0.0.0.0" for all IPv4 interfaces
  int Port = 0;
};
// "host:port" (host may be empty for all interfaces, or an IPv6 address in
// brackets) or a bare port number; a text that is neither keeps iPreviousPort.
TListenAddress ParseListenAddress(const std::string& iText, int iPreviousPort);

// "resources/web" in the folder of the running executable.
std::string DefaultOverrideFolder();
