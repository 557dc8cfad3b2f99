#pragma once
// One running instance per instance number. A second start with the same number
// finds the first through a local socket named by the single-instance key, asks it
// to restore its window and ends; the first registers the key for its lifetime.
// Needs a QCoreApplication; the restore callback runs on the thread's event loop.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QLocalServer;

class TSingleInstance {
public:
  explicit TSingleInstance(int32_t iInstanceNumber);
  ~TSingleInstance();
  TSingleInstance(const TSingleInstance&) = delete;
  TSingleInstance& operator=(const TSingleInstance&) = delete;

  // "com.quorvane.vantorel." followed by the decimal instance number
  static std::string KeyFor(int32_t iInstanceNumber);
  const std::string& Key() const { return fKey; }

  // Looks for a running instance under the key and sends it "restore". True when
  // one was found: the caller then ends with exit code 0.
  bool TryHandOver(int iTimeoutMs = 2000);

  // Registers the key; a socket left behind by a crashed instance is removed first.
  // False when the key cannot be registered (e.g. a live instance of another user).
  bool Listen();
  bool IsListening() const;

  // Called on every "restore" request that arrives while listening.
  void SetRestoreCallback(std::function<void()> iCallback);

private:
  bool ServerAnswers(int iTimeoutMs) const;

  std::string fKey;
  std::unique_ptr<QLocalServer> fServer;
  std::shared_ptr<std::function<void()>> fOnRestore;
};
