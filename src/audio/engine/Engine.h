#pragma once
// The audio engine's public calls, constants and handle types, in the form the
// slot code uses them. Handles are unsigned 32-bit; 0 means failure, after which
// BASS_ErrorGetCode on the same thread tells why.
#include <atomic>
#include <cstdint>
#include <memory>

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using QWORD = uint64_t;
using BOOL = int;
#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif
using HSTREAM = DWORD;
using HRECORD = DWORD;
using HSYNC = DWORD;
using HDSP = DWORD;
using HFX = DWORD;
using HPLUGIN = DWORD;
using HENCODE = DWORD;
using HCHANNEL = DWORD;


using HSAMPLE = DWORD;
using HWND = void*;  // no windows on Linux; kept so window arguments keep their place

// ---------------------------------------------------------------- error codes
#define BASS_OK 0
#define BASS_ERROR_MEM 1
#define BASS_ERROR_FILEOPEN 2
#define BASS_ERROR_DRIVER 3
#define BASS_ERROR_BUFLOST 4
#define BASS_ERROR_HANDLE 5
#define BASS_ERROR_FORMAT 6
#define BASS_ERROR_POSITION 7
#define BASS_ERROR_INIT 8
#define BASS_ERROR_START 9
#define BASS_ERROR_SSL 10
#define BASS_ERROR_REINIT 11
#define BASS_ERROR_ALREADY 14
#define BASS_ERROR_NOTAUDIO 17
#define BASS_ERROR_NOCHAN 18
#define BASS_ERROR_ILLTYPE 19
#define BASS_ERROR_ILLPARAM 20
#define BASS_ERROR_NO3D 21
#define BASS_ERROR_NOEAX 22
#define BASS_ERROR_DEVICE 23
#define BASS_ERROR_NOPLAY 24
#define BASS_ERROR_FREQ 25
#define BASS_ERROR_NOTFILE 27
#define BASS_ERROR_NOHW 29
#define BASS_ERROR_EMPTY 31
#define BASS_ERROR_NONET 32
#define BASS_ERROR_CREATE 33
#define BASS_ERROR_NOFX 34
#define BASS_ERROR_NOTAVAIL 37
#define BASS_ERROR_DECODE 38
#define BASS_ERROR_DX 39
#define BASS_ERROR_TIMEOUT 40
#define BASS_ERROR_FILEFORM 41
#define BASS_ERROR_SPEAKER 42
#define BASS_ERROR_VERSION 43
#define BASS_ERROR_CODEC 44
#define BASS_ERROR_ENDED 45
#define BASS_ERROR_BUSY 46
#define BASS_ERROR_UNSTREAMABLE 47
#define BASS_ERROR_PROTOCOL 48
#define BASS_ERROR_DENIED 49
#define BASS_ERROR_UNKNOWN -1
// encoder add-on
#define BASS_ERROR_ACM_CANCEL 2000
#define BASS_ERROR_CAST_DENIED 2100
#define BASS_ERROR_SERVER_CERT 2101
// effects add-on
#define BASS_ERROR_FX_NODECODE 4000
#define BASS_ERROR_FX_BPMINUSE 4001

// ---------------------------------------------------------------- configuration
#define BASS_CONFIG_BUFFER 0
#define BASS_CONFIG_UPDATEPERIOD 1
#define BASS_CONFIG_FLOATDSP 9
#define BASS_CONFIG_NET_TIMEOUT 11
#define BASS_CONFIG_NET_BUFFER 12
#define BASS_CONFIG_NET_PREBUF 15
#define BASS_CONFIG_REC_BUFFER 19
#define BASS_CONFIG_NET_PLAYLIST 21
#define BASS_CONFIG_DEV_BUFFER 27
#define BASS_CONFIG_NET_READTIMEOUT 37
#define BASS_CONFIG_ENCODE_PRIORITY 0x10300
#define BASS_CONFIG_ENCODE_QUEUE 0x10301
#define BASS_CONFIG_ENCODE_CAST_TIMEOUT 0x10310

// ---------------------------------------------------------------- devices
// BASS_Init flags
#define BASS_DEVICE_8BITS 1
#define BASS_DEVICE_MONO 2
#define BASS_DEVICE_16BITS 8
#define BASS_DEVICE_REINIT 128
#define BASS_DEVICE_LATENCY 0x100
#define BASS_DEVICE_FREQ 0x4000
#define BASS_DEVICE_STEREO 0x8000

// BASS_DEVICEINFO flags (output and recording devices alike)
#define BASS_DEVICE_ENABLED 1
#define BASS_DEVICE_DEFAULT 2
#define BASS_DEVICE_INIT 4
#define BASS_DEVICE_LOOPBACK 8
#define BASS_DEVICE_INPUT 16
#define BASS_DEVICE_UNPLUGGED 32
#define BASS_DEVICE_DISABLED 64

// A device record. The texts belong to the engine and stay valid until the
// process ends (the device list only grows).
struct BASS_DEVICEINFO {
  const char* name;
  const char* driver;  // ALSA PCM name of an output device
  DWORD flags;
};

struct BASS_INFO {
  DWORD flags;
  DWORD hwsize;
  DWORD hwfree;
  DWORD freesam;
  DWORD free3d;
  DWORD minrate;
  DWORD maxrate;
  BOOL eax;
  DWORD minbuf;
  DWORD dsver;
  DWORD latency;  // milliseconds
  DWORD initflags;
  DWORD speakers;
  DWORD freq;  // current output rate
};

// ---------------------------------------------------------------- channels
#define BASS_SAMPLE_8BITS 1
#define BASS_SAMPLE_MONO 2
#define BASS_SAMPLE_LOOP 4
#define BASS_SAMPLE_FLOAT 256
#define BASS_STREAM_PRESCAN 0x20000
#define BASS_STREAM_AUTOFREE 0x40000
#define BASS_STREAM_RESTRATE 0x80000
#define BASS_STREAM_BLOCK 0x100000
#define BASS_STREAM_DECODE 0x200000
#define BASS_STREAM_STATUS 0x800000
#define BASS_UNICODE 0x80000000u  // accepted everywhere; all texts are UTF-8 on Linux

// channel types (BASS_CHANNELINFO::ctype)
#define BASS_CTYPE_SAMPLE 1
#define BASS_CTYPE_RECORD 2
#define BASS_CTYPE_STREAM 0x10000
#define BASS_CTYPE_STREAM_WAV_PCM 0x10001
#define BASS_CTYPE_STREAM_WAV_FLOAT 0x30003
#define BASS_CTYPE_STREAM_MIXER 0x10800

struct BASS_CHANNELINFO {
  DWORD freq;
  DWORD chans;
  DWORD flags;
  DWORD ctype;
  DWORD origres;  // bits per sample of the source
  HPLUGIN plugin;
  HSAMPLE sample;
  const char* filename;
};

// Stream procedures. A STREAMPROC returns the bytes written, with
// BASS_STREAMPROC_END set when the stream has ended.
typedef DWORD(STREAMPROC)(HSTREAM handle, void* buffer, DWORD length, void* user);
#define BASS_STREAMPROC_END 0x80000000u
#define STREAMPROC_DUMMY ((STREAMPROC*)0)
#define STREAMPROC_PUSH ((STREAMPROC*)-1)
#define STREAMPROC_DEVICE ((STREAMPROC*)-2)

// Download callback of a URL stream; called with buffer == nullptr when the
// download has ended.
typedef void(DOWNLOADPROC)(const void* buffer, DWORD length, void* user);
typedef void(SYNCPROC)(HSYNC handle, DWORD channel, DWORD data, void* user);
// buffer holds interleaved samples (float when BASS_CONFIG_FLOATDSP is set),
// length is in bytes; the callback may change the samples in place.
typedef void(DSPPROC)(HDSP handle, DWORD channel, void* buffer, DWORD length, void* user);

// BASS_ChannelSetSync types
#define BASS_SYNC_POS 0
#define BASS_SYNC_END 2
#define BASS_SYNC_META 4
#define BASS_SYNC_STALL 6
#define BASS_SYNC_DOWNLOAD 7
#define BASS_SYNC_FREE 8
#define BASS_SYNC_DEV_FAIL 14
#define BASS_SYNC_MIXTIME 0x40000000
#define BASS_SYNC_ONETIME 0x80000000u

// BASS_ChannelIsActive / BASS_Encode_IsActive results
#define BASS_ACTIVE_STOPPED 0
#define BASS_ACTIVE_PLAYING 1
#define BASS_ACTIVE_STALLED 2
#define BASS_ACTIVE_PAUSED 3

// attributes
#define BASS_ATTRIB_FREQ 1
#define BASS_ATTRIB_VOL 2
#define BASS_ATTRIB_PAN 3

// BASS_ChannelGetData flags (or'ed into the length)
#define BASS_DATA_AVAILABLE 0
#define BASS_DATA_FLOAT 0x40000000

// BASS_ChannelGetTags types
#define BASS_TAG_ID3 0
#define BASS_TAG_ID3V2 1
#define BASS_TAG_OGG 2
#define BASS_TAG_HTTP 3
#define BASS_TAG_ICY 4
#define BASS_TAG_META 5

// position modes
#define BASS_POS_BYTE 0

// ---------------------------------------------------------------- core calls
BOOL BASS_SetConfig(DWORD option, DWORD value);
DWORD BASS_GetConfig(DWORD option);
DWORD BASS_GetVersion();
int BASS_ErrorGetCode();

// Output devices: 0 = no sound, 1.. = ALSA playback PCMs ("default" first).
BOOL BASS_GetDeviceInfo(DWORD device, BASS_DEVICEINFO* info);
BOOL BASS_Init(int device, DWORD freq, DWORD flags, HWND win, const void* dsguid);
BOOL BASS_SetDevice(DWORD device);  // the calling thread's current device
DWORD BASS_GetDevice();
BOOL BASS_GetInfo(BASS_INFO* info);
BOOL BASS_Free();  // frees the calling thread's current device
BOOL BASS_Start();
BOOL BASS_Stop();

HPLUGIN BASS_PluginLoad(const char* file, DWORD flags);
BOOL BASS_PluginFree(HPLUGIN handle);

HSTREAM BASS_StreamCreate(DWORD freq, DWORD chans, DWORD flags, STREAMPROC* proc, void* user);
HSTREAM BASS_StreamCreateURL(const char* url, DWORD offset, DWORD flags, DOWNLOADPROC* proc, void* user);
BOOL BASS_StreamFree(HSTREAM handle);
// Queues bytes on a push stream: safe to call from a real-time thread (no
// allocation, no lock). Returns the bytes now queued, or (DWORD)-1 on error.
// Or BASS_STREAMPROC_END into length to mark the end of the stream.
DWORD BASS_StreamPutData(HSTREAM handle, const void* buffer, DWORD length);

BOOL BASS_ChannelGetInfo(DWORD handle, BASS_CHANNELINFO* info);
const char* BASS_ChannelGetTags(DWORD handle, DWORD tags);
DWORD BASS_ChannelIsActive(DWORD handle);
BOOL BASS_ChannelPlay(DWORD handle, BOOL restart);
BOOL BASS_ChannelStop(DWORD handle);
BOOL BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value);
BOOL BASS_ChannelGetAttribute(DWORD handle, DWORD attrib, float* value);
QWORD BASS_ChannelGetPosition(DWORD handle, DWORD mode);
QWORD BASS_ChannelGetLength(DWORD handle, DWORD mode);
DWORD BASS_ChannelGetData(DWORD handle, void* buffer, DWORD length);
QWORD BASS_ChannelSeconds2Bytes(DWORD handle, double pos);
double BASS_ChannelBytes2Seconds(DWORD handle, QWORD pos);
HSYNC BASS_ChannelSetSync(DWORD handle, DWORD type, QWORD param, SYNCPROC* proc, void* user);
BOOL BASS_ChannelRemoveSync(DWORD handle, HSYNC sync);
HDSP BASS_ChannelSetDSP(DWORD handle, DSPPROC* proc, void* user, int priority);
BOOL BASS_ChannelRemoveDSP(DWORD handle, HDSP dsp);
HFX BASS_ChannelSetFX(DWORD handle, DWORD type, int priority);
BOOL BASS_ChannelRemoveFX(DWORD handle, HFX fx);
BOOL BASS_FXSetParameters(HFX handle, const void* params);
BOOL BASS_FXGetParameters(HFX handle, void* params);

// Bytes a push stream had to drop because its ring was full (the reader fell
// behind); (QWORD)-1 with BASS_ERROR_HANDLE for an unknown stream. Lets the
// owner report an overrun once per incident.
QWORD VT_StreamGetDropped(HSTREAM handle);

// ---------------------------------------------------------------- mixer add-on
#define BASS_MIXER_END 0x10000
#define BASS_MIXER_NONSTOP 0x20000
#define BASS_MIXER_RESUME 0x1000
// source flags
#define BASS_MIXER_CHAN_BUFFER 0x2000
#define BASS_MIXER_CHAN_PAUSE 0x20000
#define BASS_MIXER_CHAN_DOWNMIX 0x400000
#define BASS_MIXER_CHAN_NORAMPIN 0x800000

DWORD BASS_Mixer_GetVersion();
HSTREAM BASS_Mixer_StreamCreate(DWORD freq, DWORD chans, DWORD flags);
BOOL BASS_Mixer_StreamAddChannel(HSTREAM handle, DWORD channel, DWORD flags);
BOOL BASS_Mixer_ChannelRemove(DWORD handle);
HSTREAM BASS_Mixer_ChannelGetMixer(DWORD handle);

// ---------------------------------------------------------------- effects add-on
#define BASS_FX_BFX_ROTATE 0x10000
#define BASS_FX_BFX_VOLUME 0x10003
#define BASS_FX_BFX_PEAKEQ 0x10004
#define BASS_FX_BFX_MIX 0x10007
#define BASS_FX_BFX_DAMP 0x10008
#define BASS_FX_BFX_ECHO3 0x1000C
#define BASS_FX_BFX_COMPRESSOR2 0x10011
#define BASS_FX_BFX_BQF 0x10013
#define BASS_FX_BFX_ECHO4 0x10014

// channel flags of the effect parameters
#define BASS_BFX_CHANALL -1
#define BASS_BFX_CHANNONE 0
#define BASS_BFX_CHAN1 1
#define BASS_BFX_CHAN2 2
#define BASS_BFX_CHAN3 4
#define BASS_BFX_CHAN4 8
#define BASS_BFX_CHAN5 16
#define BASS_BFX_CHAN6 32
#define BASS_BFX_CHAN7 64
#define BASS_BFX_CHAN8 128

// Channel map: output channel n is the sum of the input channels whose flags
// are set in lChannel[n]. The array must hold one entry per channel of the
// effect's channel; the engine copies it.
struct BASS_BFX_MIX {
  const int* lChannel;
};

// Echo: out = dry * in + wet * in delayed by fDelay seconds. With dry 0 and
// wet 1 it is a pure delay line.
struct BASS_BFX_ECHO3 {
  float fDryMix;
  float fWetMix;
  float fDelay;  // seconds
  int lChannel;  // BASS_BFX_CHANxxx flags, BASS_BFX_CHANALL for all
};

DWORD BASS_FX_GetVersion();

// ---------------------------------------------------------------- encoder add-on
#define BASS_ENCODE_NOHEAD 1
#define BASS_ENCODE_FP_8BIT 2
#define BASS_ENCODE_FP_16BIT 4
#define BASS_ENCODE_FP_24BIT 6
#define BASS_ENCODE_FP_32BIT 8
#define BASS_ENCODE_FP_AUTO 14
#define BASS_ENCODE_BIGEND 16
#define BASS_ENCODE_PAUSE 32
#define BASS_ENCODE_PCM 64
#define BASS_ENCODE_RF64 128
#define BASS_ENCODE_MONO 0x100
#define BASS_ENCODE_QUEUE 0x200
#define BASS_ENCODE_WFEXT 0x400
#define BASS_ENCODE_CAST_NOLIMIT 0x1000
#define BASS_ENCODE_LIMIT 0x2000
#define BASS_ENCODE_AIFF 0x4000
#define BASS_ENCODE_DITHER 0x8000
#define BASS_ENCODE_AUTOFREE 0x40000

// BASS_Encode_GetCount
#define BASS_ENCODE_COUNT_IN 0
#define BASS_ENCODE_COUNT_OUT 1
#define BASS_ENCODE_COUNT_CAST 2
#define BASS_ENCODE_COUNT_QUEUE 3
#define BASS_ENCODE_COUNT_QUEUE_LIMIT 4
#define BASS_ENCODE_COUNT_QUEUE_FAIL 5  // bytes dropped because the queue was full

// notification statuses
#define BASS_ENCODE_NOTIFY_ENCODER 1  // the encoder process died or its pipe broke
#define BASS_ENCODE_NOTIFY_CAST 2     // the cast connection died
#define BASS_ENCODE_NOTIFY_SERVER 3
#define BASS_ENCODE_NOTIFY_CAST_TIMEOUT 0x10000
#define BASS_ENCODE_NOTIFY_QUEUE_FULL 0x10001
#define BASS_ENCODE_NOTIFY_FREE 0x10002

// BASS_Encode_CastInit flags
#define BASS_ENCODE_CAST_PUBLIC 1
#define BASS_ENCODE_CAST_PUT 2

// BASS_Encode_ServerInit flags
#define BASS_ENCODE_SERVER_NOHTTP 1
#define BASS_ENCODE_SERVER_META 2

#define BASS_ENCODE_TYPE_MP3 "audio/mpeg"
#define BASS_ENCODE_TYPE_OGG "application/ogg"
#define BASS_ENCODE_TYPE_AAC "audio/aacp"

// Receives the encoder's output when no command line is given.
typedef void(ENCODEPROC)(HENCODE handle, DWORD channel, const void* buffer, DWORD length, void* user);
typedef void(ENCODENOTIFYPROC)(HENCODE handle, DWORD status, void* user);
// A listener of the built-in server connects (connect true) or leaves; return
// false to refuse it. headers may be rewritten (up to 1 KB).
typedef BOOL(ENCODECLIENTPROC)(HENCODE handle, BOOL connect, const char* client, char* headers, void* user);

DWORD BASS_Encode_GetVersion();
// cmdline: the encoder program and its arguments (UTF-8), split like a shell
// would but without one; or with BASS_ENCODE_PCM the name of the WAV file.
HENCODE BASS_Encode_Start(DWORD handle, const char* cmdline, DWORD flags, ENCODEPROC* proc, void* user);
HENCODE BASS_Encode_StartW(DWORD handle, const char* cmdline, DWORD flags, ENCODEPROC* proc, void* user);
BOOL BASS_Encode_Stop(DWORD handle);  // an encoder, or a channel (all its encoders)
DWORD BASS_Encode_IsActive(DWORD handle);
BOOL BASS_Encode_SetNotify(DWORD handle, ENCODENOTIFYPROC* proc, void* user);
QWORD BASS_Encode_GetCount(DWORD handle, DWORD count);
DWORD BASS_Encode_GetChannel(HENCODE handle);

// What an encoder delivered, kept beyond BASS_Encode_Stop: the bytes of samples
// (no header) that reached a WAV file, or that a command-line encoder read from
// its input (what was still in the pipe when it died or was killed does not
// count). Grows while the encoder runs; final once finished is set, when the
// encoder's thread has ended after a stop.
struct VT_ENCODE_OUTCOME {
  std::atomic<bool> finished{false};
  std::atomic<QWORD> accepted{0};
  // The encoder died by itself (BASS_Encode_IsActive says so first), and
  // accepted counts what it took up to its death.
  std::atomic<bool> died{false};
  // The channel's position (frames it had produced before) of the first
  // block the encoder was fed, -1 until then: where the file's first sample
  // lies in the channel's timeline, so consecutive files can be joined exactly.
  std::atomic<int64_t> firstFrame{-1};
};
// nullptr with BASS_ERROR_HANDLE for an unknown encoder.
std::shared_ptr<const VT_ENCODE_OUTCOME> VT_Encode_GetOutcome(HENCODE handle);
// Stops an encoder that no longer takes its audio (its queue stays full): like
// BASS_Encode_Stop, but a command-line encoder is killed at once instead of
// being given time to finish. Returns at once; the child is reaped and the
// outcome completed on the encoder's thread.
BOOL VT_Encode_Abort(HENCODE handle);

BOOL BASS_Encode_CastInit(HENCODE handle, const char* server, const char* pass, const char* content,
                          const char* name, const char* url, const char* genre, const char* desc,
                          const char* headers, DWORD bitrate, DWORD flags);
BOOL BASS_Encode_CastSetTitle(HENCODE handle, const char* title, const char* url);
// Returns the port that the server listens on, 0 on failure.
DWORD BASS_Encode_ServerInit(HENCODE handle, const char* port, DWORD buffer, DWORD burst, DWORD flags,
                             ENCODECLIENTPROC* proc, void* user);
BOOL BASS_Encode_ServerKick(HENCODE handle, const char* client);

// ---------------------------------------------------------------- DSP plug-in add-on
// Plug-ins are LADSPA libraries or LV2 plug-ins. The file name is a LADSPA
// library path (a bare name is looked for in LADSPA_PATH and the usual folders),
// optionally ending in "#label" to pick one plug-in of the library, or an LV2
// plug-in URI. Module 0 is the plug-in the name selects (its label, or the first
// plug-in whose ports fit); a library's other plug-ins follow. A module with one
// audio input and output runs as one instance per channel, one with two inputs
// and outputs once on a stereo channel; other layouts are refused.
// Handles of this add-on are HDSP values of its own.
typedef intptr_t(WINAMPWINPROC)(HWND hwnd, unsigned msg, uintptr_t wParam, intptr_t lParam);

BOOL BASS_WADSP_Init(HWND hwndMain);
BOOL BASS_WADSP_Free();
HDSP BASS_WADSP_Load(const char* dspfile, int x, int y, int width, int height, WINAMPWINPROC* proc);
BOOL BASS_WADSP_FreeDSP(HDSP plugin);
BOOL BASS_WADSP_Config(HDSP plugin);
BOOL BASS_WADSP_Start(HDSP plugin, DWORD module, DWORD hchan);
BOOL BASS_WADSP_Stop(HDSP plugin);
HDSP BASS_WADSP_ChannelSetDSP(HDSP plugin, DWORD hchan, int priority);
BOOL BASS_WADSP_ChannelRemoveDSP(HDSP plugin);
const char* BASS_WADSP_GetName(HDSP plugin);
unsigned BASS_WADSP_GetModuleCount(HDSP plugin);
const char* BASS_WADSP_GetModuleName(HDSP plugin, unsigned module);

// Extensions of this engine's plug-in add-on. Control inputs of the running
// module (module 0 before BASS_WADSP_Start); the texts stay valid until the
// plug-in is started again or freed.
struct VT_WADSP_CONTROLINFO {
  const char* symbol;  // LV2 symbol, or made from the LADSPA port name ("Amps gain (dB)" -> "amps_gain_db")
  const char* name;
  DWORD port;          // the plug-in's own port index
  float min, max, def;
  DWORD flags;         // VT_WADSP_CONTROL_*
};
#define VT_WADSP_CONTROL_HASMIN 1
#define VT_WADSP_CONTROL_HASMAX 2
#define VT_WADSP_CONTROL_INTEGER 4
#define VT_WADSP_CONTROL_TOGGLED 8
#define VT_WADSP_CONTROL_LOGARITHMIC 16

DWORD VT_WADSP_GetControlCount(HDSP plugin);  // (DWORD)-1 on error
BOOL VT_WADSP_GetControlInfo(HDSP plugin, DWORD control, VT_WADSP_CONTROLINFO* info);
// control: a symbol or the decimal port index. A value outside the port's
// range is refused (BASS_ERROR_ILLPARAM) and not applied. The running plug-in
// takes a new value at its next block.
BOOL VT_WADSP_SetControl(HDSP plugin, const char* control, float value);
BOOL VT_WADSP_GetControl(HDSP plugin, const char* control, float* value);
// Why the calling thread's last failing plug-in call failed ("" after a success).
const char* VT_WADSP_ErrorText();
// BASS_WADSP_Config opens a configuration dialog only through this hook (a
// window of the desktop); without one it fails with BASS_ERROR_NOTAVAIL.
typedef BOOL(VT_WADSP_CONFIGPROC)(HDSP plugin, void* user);
void VT_WADSP_SetConfigProc(VT_WADSP_CONFIGPROC* proc, void* user);

// capture back-ends: BASS_Record*, BASS_ASIO_*, BASS_WASAPI_*
#include "audio/engine/EngineCapture.h"
