#pragma once
// The FFmpeg side of a URL stream: opens a URL (HTTP/HTTPS with ICY metadata,
// playlists followed, "lavfi:" generated sources, local files), decodes it to
// interleaved float at the rate and channel count of its first frame, and
// exposes the stream's latest ICY metadata block. Used by one thread at a time:
// the opener, then the stream's decoder thread.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vt::engine {

class TUrlSource {
public:
  // Blocks until the first audio is decoded or the open fails; on failure
  // returns nullptr and sets oError to the engine error code. Setting *iAbort
  // ends a blocked open or read at once (the stream is being freed).
  static std::unique_ptr<TUrlSource> Open(const std::string& iUrl, std::shared_ptr<const std::atomic<bool>> iAbort,
                                          int& oError);
  ~TUrlSource();
  TUrlSource(const TUrlSource&) = delete;
  TUrlSource& operator=(const TUrlSource&) = delete;

  uint32_t Freq() const { return fFreq; }
  uint32_t Chans() const { return fChans; }
  // A live stream from a server, so it runs at the server's clock; false for
  // generated sources and files (also files on a web server, which announce
  // their length), which run as fast as they are read.
  bool IsLive() const { return fLive; }

  // Appends the next decoded interleaved float frames to ioSamples; false when
  // the stream ended, the connection dropped or stalled, or decoding failed.
  bool Decode(std::vector<float>& ioSamples);
  // The newest ICY metadata block ("StreamTitle='...';..."), or empty.
  std::string IcyMetadata() const;
  // How many metadata blocks the server has sent so far. A station announces
  // the same title again when the same item plays again; only this count
  // tells that announcement from the block before it.
  uint64_t IcyAnnouncements() const;

  struct TState;

private:
  TUrlSource();
  void TakeIcyMetadata();  // after each read from a server
  std::unique_ptr<TState> fState;
  uint32_t fFreq = 0, fChans = 0;
  bool fNetwork = false;  // read from a server: stalls are watched for
  bool fLive = false;
};

// Seconds without data after which a server connection counts as stalled.
constexpr int kUrlStallSeconds = 5;

}  // namespace vt::engine
