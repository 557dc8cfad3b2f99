// The casting and listener-server calls: they put a cast client or the
// listener server on an encoder's output.
#include <chrono>

#include "audio/engine/Engine.h"
#include "audio/engine/EngineCastClient.h"
#include "audio/engine/EngineEncoder.h"
#include "audio/engine/EngineListenerServer.h"
#include "audio/engine/EngineObject.h"

using namespace vt::engine;

namespace {

std::string Text(const char* iText) { return iText ? iText : ""; }

std::shared_ptr<TEncoder> CastableEncoder(HENCODE iHandle) {
  auto encoder = Lookup<TEncoder>(iHandle);
  if (!encoder) return Fail(BASS_ERROR_HANDLE), nullptr;
  // PCM written to a file has no stream to send.
  if (!encoder->HasOutputStream()) return Fail(BASS_ERROR_NOTAVAIL), nullptr;
  return encoder;
}

// An output that dies tells its encoder, which then counts as dead.
std::function<void()> DeathOf(const std::shared_ptr<TEncoder>& iEncoder, DWORD iStatus) {
  return [weak = std::weak_ptr<TEncoder>(iEncoder), iStatus] {
    if (auto encoder = weak.lock()) encoder->OutputDied(iStatus);
  };
}

}  // namespace

BOOL BASS_Encode_CastInit(HENCODE handle, const char* server, const char* pass, const char* content, const char* name,
                          const char* url, const char* genre, const char* desc, const char* headers, DWORD bitrate,
                          DWORD flags) {
  auto encoder = CastableEncoder(handle);
  if (!encoder) return FALSE;
  if (encoder->Outputs().Has(TEncoderOutputs::okCast)) return Fail(BASS_ERROR_ALREADY);
  const auto target = ParseCastServer(Text(server));
  if (!target) return Fail(BASS_ERROR_ILLPARAM);
  TCastSettings settings;
  settings.fPassword = Text(pass);
  settings.fContentType = Text(content);
  settings.fName = Text(name);
  settings.fUrl = Text(url);
  settings.fGenre = Text(genre);
  settings.fDescription = Text(desc);
  settings.fHeaders = Text(headers);
  settings.fBitrate = bitrate;
  settings.fPublic = (flags & BASS_ENCODE_CAST_PUBLIC) != 0;
  const std::chrono::milliseconds timeout(std::max<DWORD>(BASS_GetConfig(BASS_CONFIG_ENCODE_CAST_TIMEOUT), 100));
  std::shared_ptr<TCastClient> client;
  try {
    client = TCastClient::Connect(*target, settings, timeout);
  } catch (const TNetError& e) {
    return Fail(e.fCode);
  }
  client->fOnDeath = DeathOf(encoder, BASS_ENCODE_NOTIFY_CAST);
  client->Start();
  if (!encoder->Outputs().Add(TEncoderOutputs::okCast, client)) {
    client->Close();
    return Fail(encoder->IsActive() == BASS_ACTIVE_PLAYING ? BASS_ERROR_ALREADY : BASS_ERROR_HANDLE);
  }
  SetError(BASS_OK);
  return TRUE;
}

BOOL BASS_Encode_CastSetTitle(HENCODE handle, const char* title, const char* url) {
  auto encoder = Lookup<TEncoder>(handle);
  if (!encoder) return Fail(BASS_ERROR_HANDLE);
  // Sent by the outputs' own threads: the caller never waits on a server.
  if (!encoder->Outputs().SetTitle(Text(title), Text(url))) return Fail(BASS_ERROR_NOTAVAIL);
  SetError(BASS_OK);
  return TRUE;
}

DWORD BASS_Encode_ServerInit(HENCODE handle, const char* port, DWORD buffer, DWORD burst, DWORD flags,
                             ENCODECLIENTPROC* proc, void* user) {
  auto encoder = CastableEncoder(handle);
  if (!encoder) return 0;
  if (encoder->Outputs().Has(TEncoderOutputs::okServer)) return Fail(BASS_ERROR_ALREADY), 0;
  TListenerServer::TOptions options;
  options.fBuffer = buffer ? buffer : 40000;
  options.fBurst = std::min(burst, options.fBuffer);
  options.fMeta = (flags & BASS_ENCODE_SERVER_META) != 0;
  options.fProc = proc;
  options.fEncoder = handle;
  options.fUser = user;
  std::shared_ptr<TListenerServer> server;
  try {
    server = TListenerServer::Listen(Text(port), options);
  } catch (const TNetError& e) {
    return Fail(e.fCode), 0;
  }
  const DWORD listening = DWORD(server->Port());
  if (!encoder->Outputs().Add(TEncoderOutputs::okServer, server)) {
    server->Close();
    return Fail(BASS_ERROR_HANDLE), 0;
  }
  SetError(BASS_OK);
  return listening;
}

BOOL BASS_Encode_ServerKick(HENCODE handle, const char* client) {
  auto encoder = Lookup<TEncoder>(handle);
  if (!encoder) return Fail(BASS_ERROR_HANDLE);
  if (!encoder->Outputs().Kick(Text(client))) return Fail(BASS_ERROR_ILLPARAM);
  SetError(BASS_OK);
  return TRUE;
}
