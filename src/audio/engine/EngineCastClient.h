#pragma once
// A source connection to a streaming server: Icecast 2 (PUT, or SOURCE for
// older servers), Shoutcast 1 (password on port + 1) and Shoutcast 2 in its
// legacy form (password:#sid). The connection is made on the caller's thread;
// afterwards a thread of its own sends the encoder's output from a bounded
// queue, and another one sends title updates, so that neither the encoder nor
// the caller ever waits on the server.
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audio/engine/Engine.h"
#include "audio/engine/EngineEncoderOutput.h"
#include "audio/engine/EngineNet.h"

namespace vt::engine {

struct TCastTarget {
  enum TProtocol { cpIcecast, cpShoutcast1, cpShoutcast2 };
  TProtocol fProtocol = cpShoutcast1;
  std::string fHost;
  int fPort = 0;
  std::string fMount;     // Icecast: starts with "/"
  std::string fStreamId;  // Shoutcast 2
};
// "host:port/mount", "host:port,sid" or "host:port"; nullopt when malformed.
std::optional<TCastTarget> ParseCastServer(const std::string& iServer);

struct TCastSettings {
  std::string fPassword, fContentType, fName, fUrl, fGenre, fDescription, fHeaders;
  unsigned fBitrate = 0;  // kbit/s, 0 = not announced
  bool fPublic = false;
};

class TCastClient : public TEncoderOutput, public std::enable_shared_from_this<TCastClient> {
public:
  // The most of the encoded stream held for a slow server; beyond it the
  // connection counts as dead.
  static constexpr size_t kQueueBytes = 512 * 1024;

  // Connects and announces the stream; throws TNetError with the engine's error
  // code. iTimeout bounds each step of the set-up and each stalled send later.
  static std::shared_ptr<TCastClient> Connect(const TCastTarget& iTarget, const TCastSettings& iSettings,
                                              std::chrono::milliseconds iTimeout);
  ~TCastClient() override;

  void Deliver(const void* iData, size_t iLength) override;
  void SetTitle(const std::string& iTitle, const std::string& iUrl) override;
  void Close() override;
  // Starts the threads; fOnDeath must be set before.
  void Start();

  QWORD SentBytes() const { return fSent.load(std::memory_order_relaxed); }

private:
  TCastClient(const TCastTarget& iTarget, const TCastSettings& iSettings, std::chrono::milliseconds iTimeout);
  void Send();
  void SendTitles();
  void Die();
  bool PeerClosed() const;
  void UpdateTitle(const std::string& iTitle, const std::string& iUrl);

  const TCastTarget fTarget;
  const TCastSettings fSettings;
  const std::chrono::milliseconds fTimeout;
  TSocket fSocket;

  std::mutex fLock;  // the queue and the pending title
  std::condition_variable fWake;       // the sender
  std::condition_variable fTitleWake;  // the title sender
  std::vector<uint8_t> fQueue;
  size_t fQueueHead = 0, fQueueSize = 0;
  bool fOverflow = false;
  std::optional<std::pair<std::string, std::string>> fPendingTitle;

  std::atomic<bool> fClosing{false};
  std::atomic<bool> fDead{false};
  std::atomic<QWORD> fSent{0};
  std::thread fSender, fTitler;
};

}  // namespace vt::engine
