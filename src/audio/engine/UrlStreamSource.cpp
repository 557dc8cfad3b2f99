#include "audio/engine/UrlStreamSource.h"

#include <cerrno>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libavutil/time.h>
#include <libswresample/swresample.h>
}

#include "audio/engine/Engine.h"
#include "audio/engine/UrlStreamPlaylist.h"

namespace vt::engine {
namespace {

constexpr int64_t kOpenTimeoutMicroseconds = 10'000'000;
constexpr int kMaxPlaylistDepth = 4;
constexpr size_t kMaxPlaylistBytes = 64 * 1024;
constexpr char kLavfiPrefix[] = "lavfi:";

// FFmpeg's generated sources ("lavfi") are an input device: devices are
// registered once, on the first "lavfi:" URL.
const AVInputFormat* LavfiFormat() {
  static const AVInputFormat* format = [] {
    avdevice_register_all();
    return av_find_input_format("lavfi");
  }();
  return format;
}

bool IsHttp(const std::string& iUrl) {
  for (const char* scheme : {"http://", "https://", "icy://"})
    if (strncasecmp(iUrl.c_str(), scheme, strlen(scheme)) == 0) return true;
  return false;
}

// Engine error code of an FFmpeg failure, as a station engineer reads it.
int ErrorCode(int iAvError) {
  switch (iAvError) {
    case AVERROR(ECONNREFUSED):
    case AVERROR(EHOSTUNREACH):
    case AVERROR(ENETUNREACH):
    case AVERROR(ECONNRESET):
    case AVERROR(EIO):  // also a host name that does not resolve
      return BASS_ERROR_NONET;
    case AVERROR(ETIMEDOUT):
    case AVERROR(EAGAIN):
    case AVERROR_EXIT:  // our own deadline
      return BASS_ERROR_TIMEOUT;
    case AVERROR_INVALIDDATA:
    case AVERROR_DEMUXER_NOT_FOUND:
      return BASS_ERROR_FILEFORM;
    case AVERROR_DECODER_NOT_FOUND:
      return BASS_ERROR_CODEC;
    case AVERROR_STREAM_NOT_FOUND:
      return BASS_ERROR_NOTAUDIO;
    default:
      return BASS_ERROR_FILEOPEN;
  }
}

struct TInterrupt {
  std::shared_ptr<const std::atomic<bool>> fAbort;
  int64_t fDeadline = 0;  // av_gettime_relative(); 0: none
  static int Check(void* iOpaque) {
    auto* self = static_cast<TInterrupt*>(iOpaque);
    if (self->fAbort && self->fAbort->load(std::memory_order_relaxed)) return 1;
    return self->fDeadline != 0 && av_gettime_relative() > self->fDeadline ? 1 : 0;
  }
};

struct TOpenError {
  int fCode;
};

std::string OptionText(void* iObject, const char* iName) {
  uint8_t* value = nullptr;
  if (!iObject || av_opt_get(iObject, iName, AV_OPT_SEARCH_CHILDREN, &value) < 0 || !value) return {};
  std::string result(reinterpret_cast<char*>(value));
  av_free(value);
  return result;
}

constexpr const char* kIcyPacket = "icy_metadata_packet";

}  // namespace

struct TUrlSource::TState {
  TInterrupt fInterrupt;
  AVIOContext* fIo = nullptr;  // our own connection for HTTP, so its ICY data can be read
  AVFormatContext* fFormat = nullptr;
  AVCodecContext* fCodec = nullptr;
  SwrContext* fSwr = nullptr;
  AVPacket* fPacket = nullptr;
  AVFrame* fFrame = nullptr;
  int fStream = -1;
  bool fFramePending = false;  // fFrame holds decoded audio not handed out yet
  bool fDraining = false;
  // the input format that fSwr was set up for
  int fSwrFormat = -1, fSwrRate = 0, fSwrChans = 0;
  mutable std::mutex fIcyLock;  // the decoder thread writes, any thread reads
  std::string fIcy;
  uint64_t fIcyCount = 0;
  bool fIcyTaken = true;  // the connection's metadata option can be emptied once read
  std::vector<float> fPrimed;  // the audio decoded while opening, handed out first

  ~TState() {
    swr_free(&fSwr);
    av_frame_free(&fFrame);
    av_packet_free(&fPacket);
    avcodec_free_context(&fCodec);
    avformat_close_input(&fFormat);  // leaves our own connection open
    avio_closep(&fIo);
  }
};

TUrlSource::TUrlSource() : fState(std::make_unique<TState>()) {}
TUrlSource::~TUrlSource() = default;

std::unique_ptr<TUrlSource> TUrlSource::Open(const std::string& iUrl, std::shared_ptr<const std::atomic<bool>> iAbort,
                                             int& oError) {
  // Failures reach the caller as error codes; a station retrying a dead
  // server every second must not fill the journal with FFmpeg's own lines.
  static const bool quiet = (av_log_set_level(AV_LOG_FATAL), true);
  (void)quiet;
  std::unique_ptr<TUrlSource> source(new TUrlSource());
  TState& s = *source->fState;
  s.fInterrupt.fAbort = std::move(iAbort);
  s.fInterrupt.fDeadline = av_gettime_relative() + kOpenTimeoutMicroseconds;
  const AVIOInterruptCB interrupt{&TInterrupt::Check, &s.fInterrupt};
  try {
    if (iUrl.empty()) throw TOpenError{BASS_ERROR_FILEOPEN};
    std::string url = iUrl;
    const AVInputFormat* inputFormat = nullptr;
    AVDictionary* formatOptions = nullptr;
    if (url.rfind(kLavfiPrefix, 0) == 0) {
      inputFormat = LavfiFormat();
      if (!inputFormat) throw TOpenError{BASS_ERROR_NOTAVAIL};
      url = url.substr(strlen(kLavfiPrefix));
    } else {
      for (int depth = 0;; ++depth) {
        const bool http = IsHttp(url);
        AVDictionary* ioOptions = nullptr;
        if (http) {
          av_dict_set(&ioOptions, "icy", "1", 0);
          av_dict_set(&ioOptions, "rw_timeout", std::to_string(kUrlStallSeconds * 1000000LL).c_str(), 0);
          av_dict_set(&ioOptions, "user_agent", "Vantorel", 0);
          // As with alarm calls and mail, a server's certificate is not
          // verified: stations often serve TLS with a self-signed one, and a
          // logger that refused it would record nothing.
          av_dict_set(&ioOptions, "tls_verify", "0", 0);
        }
        AVIOContext* io = nullptr;
        const int opened = avio_open2(&io, url.c_str(), AVIO_FLAG_READ, &interrupt, &ioOptions);
        av_dict_free(&ioOptions);
        if (opened < 0) throw TOpenError{ErrorCode(opened)};
        if (!IsPlaylist(url, OptionText(io, "mime_type"))) {
          s.fIo = io;
          source->fNetwork = http;
          // A live stream has no length; a file on a web server has one.
          source->fLive = http && avio_size(io) <= 0;
          break;
        }
        std::string text;
        unsigned char buffer[4096];
        for (int n; text.size() < kMaxPlaylistBytes && (n = avio_read(io, buffer, sizeof buffer)) > 0;)
          text.append(reinterpret_cast<char*>(buffer), size_t(n));
        avio_closep(&io);
        const std::string next = FirstPlaylistEntry(text, url);
        if (next.empty() || depth + 1 >= kMaxPlaylistDepth) throw TOpenError{BASS_ERROR_FILEFORM};
        url = next;
      }
    }

    s.fFormat = avformat_alloc_context();
    if (!s.fFormat) throw TOpenError{BASS_ERROR_MEM};
    s.fFormat->interrupt_callback = interrupt;
    if (s.fIo) {
      s.fFormat->pb = s.fIo;
      s.fFormat->flags |= AVFMT_FLAG_CUSTOM_IO;
      // Live streams send no length; default probing would wait seconds for data.
      av_dict_set(&formatOptions, "formatprobesize", "16384", 0);
      av_dict_set(&formatOptions, "analyzeduration", "500000", 0);
    }
    const int opened = avformat_open_input(&s.fFormat, url.c_str(), inputFormat, &formatOptions);
    av_dict_free(&formatOptions);
    if (opened < 0) throw TOpenError{ErrorCode(opened)};

    // The first audio stream; its rate and channels come from the decoder, so
    // no stream analysis (which would wait for seconds of a live stream).
    for (unsigned i = 0; i < s.fFormat->nb_streams && s.fStream < 0; ++i)
      if (s.fFormat->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) s.fStream = int(i);
    if (s.fStream < 0) throw TOpenError{s.fFormat->nb_streams ? BASS_ERROR_NOTAUDIO : BASS_ERROR_FILEFORM};
    const AVCodec* decoder = avcodec_find_decoder(s.fFormat->streams[s.fStream]->codecpar->codec_id);
    if (!decoder) throw TOpenError{BASS_ERROR_CODEC};
    s.fCodec = avcodec_alloc_context3(decoder);
    if (!s.fCodec) throw TOpenError{BASS_ERROR_MEM};
    if (avcodec_parameters_to_context(s.fCodec, s.fFormat->streams[s.fStream]->codecpar) < 0 ||
        avcodec_open2(s.fCodec, decoder, nullptr) < 0)
      throw TOpenError{BASS_ERROR_CODEC};
    s.fPacket = av_packet_alloc();
    s.fFrame = av_frame_alloc();
    if (!s.fPacket || !s.fFrame) throw TOpenError{BASS_ERROR_MEM};

    // "Plays" means audio came out: the first frame also gives the true rate
    // and channel count (HE-AAC doubles the rate its header announces).
    if (!source->Decode(s.fPrimed)) throw TOpenError{BASS_ERROR_FILEFORM};
  } catch (const TOpenError& e) {
    oError = e.fCode;
    return nullptr;
  }
  s.fInterrupt.fDeadline = 0;
  oError = BASS_OK;
  return source;
}

bool TUrlSource::Decode(std::vector<float>& ioSamples) {
  TState& s = *fState;
  if (!s.fPrimed.empty()) {
    ioSamples.insert(ioSamples.end(), s.fPrimed.begin(), s.fPrimed.end());
    std::vector<float>().swap(s.fPrimed);
    return true;
  }
  while (!s.fFramePending) {
    const int received = avcodec_receive_frame(s.fCodec, s.fFrame);
    if (received == 0) {
      s.fFramePending = true;
      break;
    }
    if (received != AVERROR(EAGAIN) || s.fDraining) return false;  // the end, or a broken decoder
    // A stalled server is caught by rw_timeout; the deadline also covers
    // protocols without one.
    s.fInterrupt.fDeadline = fNetwork ? av_gettime_relative() + 2LL * kUrlStallSeconds * 1000000 : 0;
    const int read = av_read_frame(s.fFormat, s.fPacket);
    if (fNetwork) TakeIcyMetadata();
    if (read < 0) {
      // Live streams do not end: any read failure ends the connection. Files
      // and generated sources drain the decoder for their last frames.
      if (fLive) return false;
      s.fDraining = true;
      avcodec_send_packet(s.fCodec, nullptr);
      continue;
    }
    if (s.fPacket->stream_index == s.fStream) avcodec_send_packet(s.fCodec, s.fPacket);  // a bad packet is skipped
    av_packet_unref(s.fPacket);
  }

  AVFrame* frame = s.fFrame;
  const int chans = frame->ch_layout.nb_channels;
  if (fFreq == 0) {  // the first frame fixes the stream's format
    if (frame->sample_rate <= 0 || chans <= 0) return false;
    fFreq = uint32_t(frame->sample_rate);
    fChans = uint32_t(std::min(chans, 8));
  }
  if (!s.fSwr || s.fSwrFormat != frame->format || s.fSwrRate != frame->sample_rate || s.fSwrChans != chans) {
    swr_free(&s.fSwr);
    AVChannelLayout outLayout, inLayout;
    av_channel_layout_default(&outLayout, int(fChans));
    if (av_channel_layout_copy(&inLayout, &frame->ch_layout) < 0 || inLayout.order == AV_CHANNEL_ORDER_UNSPEC) {
      av_channel_layout_uninit(&inLayout);
      av_channel_layout_default(&inLayout, chans);
    }
    const int made = swr_alloc_set_opts2(&s.fSwr, &outLayout, AV_SAMPLE_FMT_FLT, int(fFreq), &inLayout,
                                         AVSampleFormat(frame->format), frame->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    av_channel_layout_uninit(&outLayout);
    if (made < 0 || swr_init(s.fSwr) < 0) return false;
    s.fSwrFormat = frame->format;
    s.fSwrRate = frame->sample_rate;
    s.fSwrChans = chans;
  }
  const int capacity = swr_get_out_samples(s.fSwr, frame->nb_samples);
  if (capacity > 0) {
    const size_t at = ioSamples.size();
    ioSamples.resize(at + size_t(capacity) * fChans);
    uint8_t* out = reinterpret_cast<uint8_t*>(ioSamples.data() + at);
    const int converted =
        swr_convert(s.fSwr, &out, capacity, const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
    ioSamples.resize(at + size_t(std::max(converted, 0)) * fChans);
  }
  av_frame_unref(frame);
  s.fFramePending = false;
  return true;
}

void TUrlSource::TakeIcyMetadata() {
  // The HTTP protocol keeps the last metadata block with text in its option
  // and leaves it alone on the empty blocks that mean "no change". Emptied
  // after each read, the option holds text again only when the server sent a
  // new block, even one with the same title as before.
  TState& s = *fState;
  std::string icy = OptionText(s.fFormat->pb, kIcyPacket);
  if (icy.empty()) return;
  if (s.fIcyTaken) s.fIcyTaken = av_opt_set(s.fFormat->pb, kIcyPacket, "", AV_OPT_SEARCH_CHILDREN) >= 0;
  std::lock_guard lock(s.fIcyLock);
  // Where the option cannot be emptied, only a change of text can be seen.
  if (!s.fIcyTaken && icy == s.fIcy) return;
  s.fIcy.swap(icy);
  ++s.fIcyCount;
}

std::string TUrlSource::IcyMetadata() const {
  std::lock_guard lock(fState->fIcyLock);
  return fState->fIcy;
}

uint64_t TUrlSource::IcyAnnouncements() const {
  std::lock_guard lock(fState->fIcyLock);
  return fState->fIcyCount;
}

}  // namespace vt::engine
