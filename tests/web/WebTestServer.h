#pragma once
// A running TWebServer on a free loopback port over a fake host, with a
// temporary folder, and a client to talk to it.
#include <httplib.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "FakeWebHost.h"
#include "web/PasswordHash.h"
#include "web/WebServer.h"

struct TTempFolder {
  std::filesystem::path Path;
  TTempFolder() {
    std::random_device rd;
    Path = std::filesystem::temp_directory_path() / ("vt-web-" + std::to_string(rd()) + std::to_string(rd()));
    std::filesystem::create_directories(Path);
  }
  ~TTempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(Path, ec);
  }
};

struct TWebTestServer {
  TTempFolder Temp;
  TFakeWebHost Host;
  TWebServer Server{Host};

  static TWebServerConfig Config(TAccessLevel iAnon) {
    TWebServerConfig config;
    config.Port = "127.0.0.1:0";
    config.AdminUser = "admin";
    config.AdminPasswordHash = PasswordHash("secret");
    config.ReadOnlyUser = "reader";
    config.ReadOnlyPasswordHash = PasswordHash("look");
    config.AnonymousAccess = iAnon;
    return config;
  }
  void Start(TWebServerConfig iConfig) {
    if (iConfig.OverrideFolder.empty()) iConfig.OverrideFolder = (Temp.Path / "override").string();
    Server.Start(iConfig);
  }
  std::unique_ptr<httplib::Client> Client() {
    auto client = std::make_unique<httplib::Client>("127.0.0.1", Server.Port());
    client->set_connection_timeout(5, 0);
    client->set_read_timeout(10, 0);
    return client;
  }
  ~TWebTestServer() { Server.Stop(); }
};
