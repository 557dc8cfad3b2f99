#pragma once
// Where an encoder's encoded output goes besides its callback: a connection to
// a streaming server, or the built-in listener server. Each output serves its
// sockets on threads of its own; the thread that reads the encoder's output
// only hands it over and never waits on a socket.
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/engine/EngineOggPages.h"

namespace vt::engine {

class TEncoderOutput {
public:
  virtual ~TEncoderOutput() = default;
  // A piece of the encoded stream; copies it into the output's bounded queue.
  virtual void Deliver(const void* iData, size_t iLength) = 0;
  // The stream title changed; sent on the output's own thread.
  virtual void SetTitle(const std::string& iTitle, const std::string& iUrl) = 0;
  // Drops the listeners at iAddress (all when empty); false when none matched.
  virtual bool Kick(const std::string&) { return false; }
  // Ends the output's connections and threads; returns within a short, bounded time.
  virtual void Close() = 0;
  // Set before the output starts: called (once, on the output's thread) when
  // its connection dies by itself.
  std::function<void()> fOnDeath;
};

// The outputs of one encoder. Deliver and SetTitle may come from any thread.
// An Ogg stream decodes only from its header pages on, and these go out before
// a cast is connected (a connect delay, a slow server): they are kept, every
// output added later gets them first, and outputs get whole pages only.
class TEncoderOutputs {
public:
  enum TKind { okCast, okServer };
  // False when the encoder is already freed or iKind is already there.
  bool Add(TKind iKind, std::shared_ptr<TEncoderOutput> iOutput);
  bool Has(TKind iKind) const;
  void Deliver(const void* iData, size_t iLength);
  bool SetTitle(const std::string& iTitle, const std::string& iUrl);  // false without outputs
  bool Kick(const std::string& iAddress);
  void Close();  // no output is added or fed after this

private:
  mutable std::mutex fLock;
  std::vector<std::pair<TKind, std::shared_ptr<TEncoderOutput>>> fOutputs;
  bool fClosed = false;
  enum TStream { stUnknown, stOgg, stOther } fStream = stUnknown;
  TOggPages fPages;
  std::string fOggHeaders;  // the header pages (granule position 0)
  bool fOggHeadersDone = false;
};

}  // namespace vt::engine
