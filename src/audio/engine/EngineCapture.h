#pragma once
// Capture calls of the engine (ALSA = recording devices, JACK = ASIO drivers,
// PulseAudio = WASAPI endpoints). Included by Engine.h; do not include directly.
//
// Every back-end runs its own capture thread that hands each buffer to the
// caller's procedure and does nothing else. The "current device" of each
// back-end belongs to the calling thread, so the controller's selection is not
// disturbed by other threads.

// ---------------------------------------------------------------- recording devices (ALSA)
// Device 0 is always the "default" PCM, also while it cannot capture (its sound
// server not up yet), then every card's capture devices. BASS_DEVICEINFO::driver
// holds the ALSA PCM name. A device keeps its number for the whole run: a new
// enumeration (device 0) adds devices not seen before at the end, and leaves
// the ones gone in place without BASS_DEVICE_ENABLED.

// Return false to stop capturing.
typedef BOOL(RECORDPROC)(HRECORD handle, const void* buffer, DWORD length, void* user);

BOOL BASS_RecordGetDeviceInfo(DWORD device, BASS_DEVICEINFO* info);
BOOL BASS_RecordInit(int device);  // -1 = the default device; selects it for this thread
BOOL BASS_RecordSetDevice(DWORD device);
DWORD BASS_RecordGetDevice();
BOOL BASS_RecordFree();  // the thread's current recording device, with its channel
// Starts capture on the thread's current device; freq 0 = 48000, chans 0 = 2.
// flags: 0 = 16-bit, BASS_SAMPLE_FLOAT = 32-bit float. Capture runs until
// BASS_RecordFree (or until the procedure returns false).
HRECORD BASS_RecordStart(DWORD freq, DWORD chans, DWORD flags, RECORDPROC* proc, void* user);

// ---------------------------------------------------------------- ASIO drivers (JACK)
// One driver per reachable JACK server. Its input channels are the server's
// physical capture ports: the driver registers one input port of its own per
// channel ("in_1", ...) and connects it to the physical port, so other clients
// may feed the same input port as well. Output channels work the same way.

struct BASS_ASIO_DEVICEINFO {
  const char* name;    // "JACK (<server name>)"
  const char* driver;  // the JACK server name
};

struct BASS_ASIO_INFO {
  char name[32];
  DWORD version;
  DWORD inputs;
  DWORD outputs;
  DWORD bufmin;
  DWORD bufmax;
  DWORD bufpref;  // the server's period in frames
  int bufgran;
  DWORD initflags;
};

struct BASS_ASIO_CHANNELINFO {
  DWORD group;
  DWORD format;  // BASS_ASIO_FORMAT_xxx the channel is set to
  char name[32];  // the physical port it is connected to, cut to 31 characters
};

// sample formats
#define BASS_ASIO_FORMAT_16BIT 16
#define BASS_ASIO_FORMAT_24BIT 17
#define BASS_ASIO_FORMAT_32BIT 18
#define BASS_ASIO_FORMAT_FLOAT 19

// BASS_ASIO_Init flags
#define BASS_ASIO_THREAD 1
#define BASS_ASIO_JOINORDER 2

// BASS_ASIO_ChannelIsActive results
#define BASS_ASIO_ACTIVE_DISABLED 0
#define BASS_ASIO_ACTIVE_ENABLED 1
#define BASS_ASIO_ACTIVE_PAUSED 2

// Called on the JACK process thread with the channel and the channels joined
// to it interleaved, in the channel's format. Returns the bytes handled.
typedef DWORD(ASIOPROC)(BOOL input, DWORD channel, void* buffer, DWORD length, void* user);

BOOL BASS_ASIO_GetDeviceInfo(DWORD device, BASS_ASIO_DEVICEINFO* info);
BOOL BASS_ASIO_Init(int device, DWORD flags);  // selects the driver for this thread
BOOL BASS_ASIO_Free();
BOOL BASS_ASIO_SetDevice(DWORD device);
DWORD BASS_ASIO_GetDevice();
BOOL BASS_ASIO_GetInfo(BASS_ASIO_INFO* info);
BOOL BASS_ASIO_ChannelGetInfo(BOOL input, DWORD channel, BASS_ASIO_CHANNELINFO* info);
// The server's rate is the only rate: another rate fails with BASS_ERROR_FORMAT.
BOOL BASS_ASIO_SetRate(double rate);
double BASS_ASIO_GetRate();
// A null proc disables the channel. Only while the driver is stopped.
BOOL BASS_ASIO_ChannelEnable(BOOL input, DWORD channel, ASIOPROC* proc, void* user);
BOOL BASS_ASIO_ChannelSetFormat(BOOL input, DWORD channel, DWORD format);
DWORD BASS_ASIO_ChannelGetFormat(BOOL input, DWORD channel);
// Joins channel to channel2 (-1 undoes it). Only while the driver is stopped.
BOOL BASS_ASIO_ChannelJoin(BOOL input, DWORD channel, int channel2);
DWORD BASS_ASIO_ChannelIsActive(BOOL input, DWORD channel);
// buflen: frames per period, 0 = the server's setting (otherwise the server is
// asked to change its period). threads: accepted; the server's process thread
// serves every channel.
BOOL BASS_ASIO_Start(DWORD buflen, DWORD threads);
BOOL BASS_ASIO_Stop();
BOOL BASS_ASIO_IsStarted();
BOOL BASS_ASIO_ControlPanel();  // JACK has no panel: fails with BASS_ERROR_NOTAVAIL
int BASS_ASIO_ErrorGetCode();   // the same number as BASS_ErrorGetCode

// ---------------------------------------------------------------- WASAPI endpoints (PulseAudio)
// Sources are input endpoints (monitors carry BASS_DEVICE_LOOPBACK as well),
// sinks are output endpoints. id = the PulseAudio name of the source or sink.
// An endpoint keeps its number for the whole run: a new enumeration (device 0)
// adds endpoints not seen before at the end, and leaves the ones gone in place
// without BASS_DEVICE_ENABLED.

struct BASS_WASAPI_DEVICEINFO {
  const char* name;  // the description PulseAudio shows
  const char* id;    // the source or sink name
  DWORD type;
  DWORD flags;       // BASS_DEVICE_xxx
  float minperiod;
  float defperiod;
  DWORD mixfreq;
  DWORD mixchans;
};

struct BASS_WASAPI_INFO {
  DWORD initflags;
  DWORD freq;
  DWORD chans;
  DWORD format;
  DWORD buflen;
  float volmax;
  float volmin;
  float volstep;
};

// device types
#define BASS_WASAPI_TYPE_NETWORKDEVICE 0
#define BASS_WASAPI_TYPE_SPEAKERS 1
#define BASS_WASAPI_TYPE_LINELEVEL 2
#define BASS_WASAPI_TYPE_HEADPHONES 3
#define BASS_WASAPI_TYPE_MICROPHONE 4
#define BASS_WASAPI_TYPE_HEADSET 5
#define BASS_WASAPI_TYPE_HANDSET 6
#define BASS_WASAPI_TYPE_DIGITAL 7
#define BASS_WASAPI_TYPE_SPDIF 8
#define BASS_WASAPI_TYPE_HDMI 9
#define BASS_WASAPI_TYPE_UNKNOWN 10

// BASS_WASAPI_Init flags
#define BASS_WASAPI_EXCLUSIVE 1
#define BASS_WASAPI_AUTOFORMAT 2
#define BASS_WASAPI_BUFFER 4
#define BASS_WASAPI_EVENT 16
#define BASS_WASAPI_SAMPLES 32

// formats (BASS_WASAPI_INFO::format)
#define BASS_WASAPI_FORMAT_FLOAT 0
#define BASS_WASAPI_FORMAT_8BIT 1
#define BASS_WASAPI_FORMAT_16BIT 2
#define BASS_WASAPI_FORMAT_24BIT 3
#define BASS_WASAPI_FORMAT_32BIT 4

// Called on the endpoint's capture thread with interleaved float samples;
// returns the bytes handled.
typedef DWORD(WASAPIPROC)(void* buffer, DWORD length, void* user);

BOOL BASS_WASAPI_GetDeviceInfo(DWORD device, BASS_WASAPI_DEVICEINFO* info);
// freq 0 / chans 0 = the source's own; buffer = seconds the server may hold,
// period = seconds per callback (0 = 20 ms). Selects the device for this thread.
BOOL BASS_WASAPI_Init(int device, DWORD freq, DWORD chans, DWORD flags, float buffer, float period,
                      WASAPIPROC* proc, void* user);
BOOL BASS_WASAPI_Free();
BOOL BASS_WASAPI_SetDevice(DWORD device);
DWORD BASS_WASAPI_GetDevice();
BOOL BASS_WASAPI_Start();
BOOL BASS_WASAPI_Stop(BOOL reset);
BOOL BASS_WASAPI_IsStarted();
BOOL BASS_WASAPI_GetInfo(BASS_WASAPI_INFO* info);
