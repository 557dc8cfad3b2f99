#pragma once
// The built-in listener server: listeners connect over HTTP and get the
// encoder's output, a burst of recent audio first. A listener that asks for
// ICY metadata (Icy-MetaData: 1) gets the stream title interleaved every
// kMetaInterval bytes. One thread serves the listening socket and every
// listener with non-blocking sockets; a listener whose backlog passes the
// buffer size is dropped, so a slow one never holds up the encoder or the others.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/engine/Engine.h"
#include "audio/engine/EngineEncoderOutput.h"
#include "audio/engine/EngineNet.h"
#include "audio/engine/EngineOggPages.h"

namespace vt::engine {

class TListenerServer : public TEncoderOutput {
public:
  static constexpr size_t kMaxListeners = 64;  // more are turned away with 503
  static constexpr size_t kMetaInterval = 16000;

  struct TOptions {
    DWORD fBuffer = 40000;  // the most queued for one listener
    DWORD fBurst = 4000;    // sent to a new listener at once
    bool fMeta = false;     // offer ICY titles
    ENCODECLIENTPROC* fProc = nullptr;
    HENCODE fEncoder = 0;
    void* fUser = nullptr;
  };
  // iAddress: "host:port", ":port" or "port" (an empty host: every address;
  // port 0: any free port). Throws TNetError.
  static std::shared_ptr<TListenerServer> Listen(const std::string& iAddress, const TOptions& iOptions);
  ~TListenerServer() override;

  int Port() const { return fPort; }
  size_t ListenerCount() const;

  void Deliver(const void* iData, size_t iLength) override;
  void SetTitle(const std::string& iTitle, const std::string& iUrl) override;
  bool Kick(const std::string& iAddress) override;
  void Close() override;

private:
  struct TListener;
  explicit TListenerServer(const TOptions& iOptions);
  void Run();
  void Accept();
  void ReadRequest(TListener& ioListener);
  void Append(TListener& ioListener, const uint8_t* iData, size_t iLength);
  std::string MetaBlock(TListener& ioListener) const;
  void DeliverOggPages(const char* iData, size_t iLength);
  void SendToListeners(const char* iData, size_t iLength);
  void Wake();

  const TOptions fOptions;
  TSocket fListen;
  int fPort = 0;
  int fWakeFd = -1;

  mutable std::mutex fLock;  // everything below
  std::vector<std::unique_ptr<TListener>> fListeners;
  std::string fBurst;        // the newest fOptions.fBurst bytes
  std::string fContentType;  // known from the first bytes of the stream
  // An Ogg stream decodes only from its header pages on, and only from a page
  // boundary: its header pages are kept for every new listener, the burst
  // holds whole pages, and listeners get whole pages only.
  bool fOgg = false;
  TOggPages fOggPages;
  std::string fOggHeaders;   // the stream's header pages (granule position 0)
  bool fOggHeadersDone = false;
  std::string fTitle, fTitleUrl;
  unsigned fTitleSerial = 0;

  std::atomic<bool> fClosing{false};
  std::thread fThread;
};

}  // namespace vt::engine
