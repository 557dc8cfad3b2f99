#include "audio/engine/UrlStream.h"

#include <algorithm>
#include <chrono>

#include "audio/engine/EngineDevice.h"

namespace vt::engine {
namespace {

std::atomic<HSYNC> gNextSync{1};

// How long a finished stream waits for the mixer to take its last audio
// before it reports its end anyway (a mixer that stopped pulling).
constexpr auto kDrainLimit = std::chrono::seconds(30);
constexpr auto kRoomPoll = std::chrono::milliseconds(10);

}  // namespace

TUrlStream::TUrlStream(std::unique_ptr<TUrlSource> iSource, std::shared_ptr<std::atomic<bool>> iAbort, DWORD iFlags,
                       DOWNLOADPROC* iProc, void* iUser)
    : TChannel(iSource->Freq(), iSource->Chans(), iFlags | BASS_SAMPLE_FLOAT, BASS_CTYPE_STREAM),
      fSource(std::move(iSource)), fAbort(std::move(iAbort)), fLive(fSource->IsLive()), fDownloadProc(iProc), fUser(iUser),
      fRing(size_t(Freq() * kUrlBufferSeconds) * Chans() * sizeof(float)) {}

TUrlStream::~TUrlStream() { Stop(); }

void TUrlStream::StartDecoding() {
  // The audio decoded while opening is there as soon as the handle is, and so
  // is the title announced meanwhile: the opener reads it, and the metadata
  // sync is for the announcements that follow.
  std::vector<float> first;
  if (fSource->Decode(first)) Deliver(first);
  fAnnounced = fSource->IcyAnnouncements();
  {
    std::lock_guard lock(fSyncLock);
    fMetadata = fSource->IcyMetadata();
  }
  fThread = std::thread([this] { DecoderThread(); });
}

void TUrlStream::Stop() {
  {
    std::lock_guard lock(fWakeLock);
    fStop.store(true);
  }
  fAbort->store(true);
  fWake.notify_all();
  if (fThread.joinable() && fThread.get_id() != std::this_thread::get_id()) fThread.join();
}

void TUrlStream::FreeSource() { Stop(); }

DWORD TUrlStream::ReadSource(float* oBuffer, DWORD iFrames) {
  const size_t frameBytes = size_t(Chans()) * sizeof(float);
  return DWORD(fRing.Read(oBuffer, size_t(iFrames) * frameBytes) / frameBytes);
}

bool TUrlStream::SourceEnded() const { return fInputEnded.load(std::memory_order_acquire) && fRing.Available() == 0; }

void TUrlStream::Deliver(const std::vector<float>& iSamples) {
  const size_t frameBytes = size_t(Chans()) * sizeof(float);
  const auto* data = reinterpret_cast<const std::byte*>(iSamples.data());
  size_t left = iSamples.size() * sizeof(float) / frameBytes * frameBytes;
  while (left > 0 && !fStop.load()) {
    const size_t take = std::min(left, fRing.Free() / frameBytes * frameBytes);
    if (take > 0) {
      fRing.Write(data, take);
      data += take;
      left -= take;
      continue;
    }
    if (fLive) {
      // The server sets the pace; holding back would only make it drop us.
      fDropped.fetch_add(left, std::memory_order_relaxed);
      return;
    }
    std::unique_lock lock(fWakeLock);
    fWake.wait_for(lock, kRoomPoll, [this] { return fStop.load(); });
  }
}

void TUrlStream::DecoderThread() {
  std::unique_ptr<TUrlSource> source = std::move(fSource);
  std::vector<float> samples;
  while (!fStop.load()) {
    samples.clear();
    const bool more = source->Decode(samples);
    // Every announcement counts, also one that repeats the title before it:
    // the same item played again is a new track.
    if (const uint64_t announced = source->IcyAnnouncements(); announced != fAnnounced) {
      fAnnounced = announced;
      {
        std::lock_guard lock(fSyncLock);
        fMetadata = source->IcyMetadata();
      }
      FireSyncs(BASS_SYNC_META);
    }
    if (!more) break;
    Deliver(samples);
  }
  source.reset();  // the connection closes now, not when the handle goes
  if (fStop.load()) return;
  fInputEnded.store(true, std::memory_order_release);
  if (fDownloadProc) fDownloadProc(nullptr, 0, fUser);
  FireSyncs(BASS_SYNC_DOWNLOAD);
  // The end of the stream is where the mixer has taken the last of it.
  const auto giveUp = std::chrono::steady_clock::now() + kDrainLimit;
  while (!fStop.load() && fRing.Available() > 0 && std::chrono::steady_clock::now() < giveUp) {
    std::unique_lock lock(fWakeLock);
    fWake.wait_for(lock, kRoomPoll, [this] { return fStop.load(); });
  }
  if (fStop.load()) return;
  fEnded.store(true, std::memory_order_release);
  FireSyncs(BASS_SYNC_END);
}

void TUrlStream::FireSyncs(DWORD iType) {
  std::vector<TSync> due;
  {
    std::lock_guard lock(fSyncLock);
    for (auto it = fSyncs.begin(); it != fSyncs.end();) {
      if ((it->fType & 0xFFFF) == iType) {
        due.push_back(*it);
        if (it->fType & BASS_SYNC_ONETIME) {
          it = fSyncs.erase(it);
          continue;
        }
      }
      ++it;
    }
  }
  const DWORD handle = Handle();
  for (const TSync& sync : due) {
    {
      // A sync removed while others ran must not fire.
      std::lock_guard lock(fSyncLock);
      if (!(sync.fType & BASS_SYNC_ONETIME) &&
          std::none_of(fSyncs.begin(), fSyncs.end(), [&](const TSync& s) { return s.fHandle == sync.fHandle; }))
        continue;
    }
    sync.fProc(sync.fHandle, handle, 0, sync.fUser);
  }
}

HSYNC TUrlStream::AddSync(DWORD iType, SYNCPROC* iProc, void* iUser) {
  const HSYNC handle = gNextSync.fetch_add(1);
  std::lock_guard lock(fSyncLock);
  fSyncs.push_back(TSync{handle, iType & ~DWORD(BASS_SYNC_MIXTIME), iProc, iUser});
  return handle;
}

bool TUrlStream::RemoveSync(HSYNC iSync) {
  std::lock_guard lock(fSyncLock);
  const auto it = std::find_if(fSyncs.begin(), fSyncs.end(), [&](const TSync& s) { return s.fHandle == iSync; });
  if (it == fSyncs.end()) return false;
  fSyncs.erase(it);
  return true;
}

std::string TUrlStream::Metadata() const {
  std::lock_guard lock(fSyncLock);
  return fMetadata;
}

}  // namespace vt::engine

using namespace vt::engine;

HSTREAM BASS_StreamCreateURL(const char* url, DWORD, DWORD flags, DOWNLOADPROC* proc, void* user) {
  const bool decode = (flags & BASS_STREAM_DECODE) != 0;
  if (!decode && !DeviceInitialized(CurrentDevice())) return Fail(BASS_ERROR_INIT), 0;
  auto abort = std::make_shared<std::atomic<bool>>(false);
  int error = BASS_OK;
  std::unique_ptr<TUrlSource> source = TUrlSource::Open(url ? url : "", abort, error);
  if (!source) return Fail(error), 0;
  auto stream = std::make_shared<TUrlStream>(std::move(source), abort, flags, proc, user);
  if (!decode) stream->SetDevice(CurrentDevice());
  const DWORD handle = RegisterObject(stream);
  stream->SetHandle(handle);
  stream->StartDecoding();
  SetError(BASS_OK);
  return handle;
}

HSYNC BASS_ChannelSetSync(DWORD handle, DWORD type, QWORD, SYNCPROC* proc, void* user) {
  auto channel = LookupChannel(handle);
  if (!channel) return 0;
  auto stream = std::dynamic_pointer_cast<TUrlStream>(channel);
  const DWORD kind = type & 0xFFFF;
  if (!stream || !proc || (kind != BASS_SYNC_META && kind != BASS_SYNC_END && kind != BASS_SYNC_DOWNLOAD))
    return Fail(BASS_ERROR_ILLTYPE), 0;
  SetError(BASS_OK);
  return stream->AddSync(type, proc, user);
}

BOOL BASS_ChannelRemoveSync(DWORD handle, HSYNC sync) {
  auto stream = Lookup<TUrlStream>(handle);
  if (!stream) return Fail(BASS_ERROR_HANDLE);
  if (!stream->RemoveSync(sync)) return Fail(BASS_ERROR_HANDLE);
  SetError(BASS_OK);
  return TRUE;
}

const char* BASS_ChannelGetTags(DWORD handle, DWORD tags) {
  auto stream = Lookup<TUrlStream>(handle);
  if (!stream) return Fail(BASS_ERROR_HANDLE), nullptr;
  if (tags != BASS_TAG_META) return Fail(BASS_ERROR_NOTAVAIL), nullptr;
  // The text stays valid on this thread until its next call here, as the
  // stream may announce a new title at any moment.
  thread_local std::string copy;
  copy = stream->Metadata();
  if (copy.empty()) return Fail(BASS_ERROR_NOTAVAIL), nullptr;
  SetError(BASS_OK);
  return copy.c_str();
}
