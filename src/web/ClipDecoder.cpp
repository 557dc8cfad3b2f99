#include "web/ClipDecoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace {
// Seeking inside a compressed file lands near the asked position, not on it;
// a start this close to the file's beginning is reached by decoding and
// counting instead, which is exact (the joins at the cuts are such starts).
constexpr int64_t kDecodeRatherThanSeekSeconds = 10;
// Decoding resumes this far before the frame asked for after a seek, so the
// decoder has settled (MP3 frames depend on the one before).
constexpr int64_t kSeekLeadSeconds = 1;

struct TFormatCloser {
  void operator()(AVFormatContext* p) const { avformat_close_input(&p); }
};
using TFormatPtr = std::unique_ptr<AVFormatContext, TFormatCloser>;

TFormatPtr OpenInput(const std::string& iPath, int& oStream) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, iPath.c_str(), nullptr, nullptr) < 0) return nullptr;
  TFormatPtr format(raw);
  if (avformat_find_stream_info(format.get(), nullptr) < 0) return nullptr;
  oStream = av_find_best_stream(format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (oStream < 0) return nullptr;
  return format;
}
}  // namespace

bool ProbeAudioFile(const std::string& iPath, TAudioFileInfo& oInfo) {
  int stream = -1;
  auto format = OpenInput(iPath, stream);
  if (!format) return false;
  const AVCodecParameters* par = format->streams[stream]->codecpar;
  oInfo.fRate = par->sample_rate;
  oInfo.fChannels = par->ch_layout.nb_channels;
  return oInfo.fRate > 0 && oInfo.fChannels > 0;
}

struct TClipDecoder::TState {
  TFormatPtr fFormat;
  int fStream = -1;
  AVCodecContext* fCodec = nullptr;
  SwrContext* fSwr = nullptr;
  AVPacket* fPacket = nullptr;
  AVFrame* fFrame = nullptr;
  int fRate = 0;
  int fChannels = 0;
  int64_t fSkip = 0;        // output frames still to drop before the start
  bool fPositionKnown = true;  // false after a seek until the first frame tells where it is
  int64_t fWanted = 0;      // the start, in the file's frames
  std::vector<int16_t> fPending;  // converted, not yet handed out
  size_t fPendingAt = 0;
  bool fInputDone = false;
  bool fDone = false;

  ~TState() {
    av_frame_free(&fFrame);
    av_packet_free(&fPacket);
    swr_free(&fSwr);
    avcodec_free_context(&fCodec);
  }

  // Converts one decoded frame and keeps what lies at or after the start.
  void Take(AVFrame* iFrame) {
    if (!fPositionKnown) {
      const int64_t ts = iFrame->best_effort_timestamp;
      if (ts != AV_NOPTS_VALUE) {
        const AVRational tb = fFormat->streams[fStream]->time_base;
        const int64_t at = av_rescale_q(ts, tb, AVRational{1, iFrame->sample_rate});
        fSkip = av_rescale(std::max<int64_t>(0, fWanted - at), fRate, iFrame->sample_rate);
      }
      fPositionKnown = true;
    }
    const int capacity = swr_get_out_samples(fSwr, iFrame->nb_samples);
    if (capacity <= 0) return;
    const size_t old = fPending.size();
    fPending.resize(old + size_t(capacity) * fChannels);
    uint8_t* out = reinterpret_cast<uint8_t*>(fPending.data() + old);
    const int got = swr_convert(fSwr, &out, capacity, const_cast<const uint8_t**>(iFrame->extended_data),
                                iFrame->nb_samples);
    fPending.resize(old + size_t(std::max(got, 0)) * fChannels);
    DropSkipped(old);
  }

  void DropSkipped(size_t iFrom) {
    if (fSkip <= 0) return;
    const size_t have = (fPending.size() - iFrom) / fChannels;
    const size_t drop = static_cast<size_t>(std::min<int64_t>(fSkip, static_cast<int64_t>(have)));
    fPending.erase(fPending.begin() + static_cast<std::ptrdiff_t>(iFrom),
                   fPending.begin() + static_cast<std::ptrdiff_t>(iFrom + drop * fChannels));
    fSkip -= static_cast<int64_t>(drop);
  }

  // Decodes until something is pending or the file has ended.
  void Fill() {
    while (fPendingAt >= fPending.size() && !fDone) {
      fPending.clear();
      fPendingAt = 0;
      const int r = avcodec_receive_frame(fCodec, fFrame);
      if (r == 0) {
        Take(fFrame);
        av_frame_unref(fFrame);
        continue;
      }
      if (r == AVERROR_EOF) {
        // what the resampler still holds
        const size_t old = fPending.size();
        const int capacity = swr_get_out_samples(fSwr, 0);
        if (capacity > 0) {
          fPending.resize(size_t(capacity) * fChannels);
          uint8_t* out = reinterpret_cast<uint8_t*>(fPending.data());
          const int got = swr_convert(fSwr, &out, capacity, nullptr, 0);
          fPending.resize(size_t(std::max(got, 0)) * fChannels);
          DropSkipped(old);
        }
        fDone = true;
        continue;
      }
      if (r != AVERROR(EAGAIN)) {
        fDone = true;
        continue;
      }
      if (fInputDone) {
        fDone = true;
        continue;
      }
      const int read = av_read_frame(fFormat.get(), fPacket);
      if (read < 0) {
        fInputDone = true;
        avcodec_send_packet(fCodec, nullptr);
        continue;
      }
      if (fPacket->stream_index == fStream) avcodec_send_packet(fCodec, fPacket);
      av_packet_unref(fPacket);
    }
  }
};

TClipDecoder::TClipDecoder(const std::string& iPath, int64_t iFirstFrame, int iRate, int iChannels)
    : fState(std::make_unique<TState>()) {
  auto& s = *fState;
  s.fFormat = OpenInput(iPath, s.fStream);
  if (!s.fFormat) throw std::runtime_error("Unable to open " + iPath);
  AVStream* stream = s.fFormat->streams[s.fStream];
  const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
  if (!codec) throw std::runtime_error("No decoder for " + iPath);
  s.fCodec = avcodec_alloc_context3(codec);
  avcodec_parameters_to_context(s.fCodec, stream->codecpar);
  s.fCodec->pkt_timebase = stream->time_base;
  if (avcodec_open2(s.fCodec, codec, nullptr) < 0) throw std::runtime_error("Unable to decode " + iPath);
  s.fRate = iRate;
  s.fChannels = iChannels;
  AVChannelLayout outLayout;
  av_channel_layout_default(&outLayout, iChannels);
  AVChannelLayout inLayout;
  if (s.fCodec->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || s.fCodec->ch_layout.nb_channels == 0)
    av_channel_layout_default(&inLayout, std::max(1, stream->codecpar->ch_layout.nb_channels));
  else
    av_channel_layout_copy(&inLayout, &s.fCodec->ch_layout);
  const int rc = swr_alloc_set_opts2(&s.fSwr, &outLayout, AV_SAMPLE_FMT_S16, iRate, &inLayout, s.fCodec->sample_fmt,
                                     s.fCodec->sample_rate, 0, nullptr);
  av_channel_layout_uninit(&inLayout);
  av_channel_layout_uninit(&outLayout);
  if (rc < 0 || swr_init(s.fSwr) < 0) throw std::runtime_error("Unable to convert " + iPath);
  s.fPacket = av_packet_alloc();
  s.fFrame = av_frame_alloc();

  const int fileRate = s.fCodec->sample_rate;
  s.fWanted = iFirstFrame;
  if (iFirstFrame > kDecodeRatherThanSeekSeconds * fileRate) {
    const int64_t target = av_rescale_q(iFirstFrame - kSeekLeadSeconds * fileRate, AVRational{1, fileRate},
                                        stream->time_base);
    if (av_seek_frame(s.fFormat.get(), s.fStream, target, AVSEEK_FLAG_BACKWARD) >= 0) {
      avcodec_flush_buffers(s.fCodec);
      s.fPositionKnown = false;
      return;
    }
  }
  s.fSkip = av_rescale(iFirstFrame, iRate, fileRate);
}

TClipDecoder::~TClipDecoder() = default;

size_t TClipDecoder::Read(int16_t* oSamples, size_t iFrames) {
  auto& s = *fState;
  s.Fill();
  const size_t available = (s.fPending.size() - s.fPendingAt) / s.fChannels;
  const size_t n = std::min(available, iFrames);
  std::memcpy(oSamples, s.fPending.data() + s.fPendingAt, n * s.fChannels * sizeof(int16_t));
  s.fPendingAt += n * s.fChannels;
  return n;
}
