#pragma once
// What the web server needs from the program that runs it: a consistent copy
// of each slot's state, and a way to hand start and stop requests and log lines
// to the controller. The server never touches a slot object itself, so every
// value below is copied by the host at the moment of the request.
#include <cmath>
#include <cstdint>
#include <string>

enum TWebRecordSource { wrsDisabled, wrsSoundcard, wrsStream };
enum TWebStreamingStatus { wssDisabled, wssConnecting, wssConnected, wssError };

struct TWebSlotSnapshot {
  int Index = 0;
  std::string Name;
  std::string Description;
  bool Enabled = false;
  bool AlarmOnly = false;

  TWebRecordSource RecordSource = wrsDisabled;
  bool HasInputDevice = false;  // a sound-card slot attached to an input
  std::string InputDeviceName;  // display name of that input
  std::string StreamURL;

  bool Recording = false;  // a file is open
  std::string ErrorMessage;
  std::string StreamingMessage;
  double RecordingSeconds = 0;  // since the current recording started
  float LevelLeft = 0;
  float LevelRight = 0;

  // Clock values (TickCount64 milliseconds) as stored by the slot, and the
  // clock at the moment the copy was taken.
  uint64_t NowTickCount = 0;
  uint64_t LastOverSilenceTickCount = 0;
  uint64_t LastMetadataTickCount = 0;
  std::string CurrentStreamTitle;

  bool StreamingEnabled = false;
  TWebStreamingStatus StreamingStatus = wssDisabled;
  int64_t StreamingActiveSince = -1;  // tick of the connection, -1 while not connected

  // Archive
  std::string Folder;           // recordings folder
  std::string SecondaryFolder;  // second place a recording may have been moved to
  std::string DatabasePath;     // the slot's SQLite file
  int32_t CurrentRecordingID = 0;  // row of the file being written, 0 = none
  float CurrentRecordingDuration = 0;  // seconds written so far to that file

  // Metrics: counters never go back within a run.
  bool SilenceDetected = false;        // the silence alarm is active
  int32_t StreamListeners = 0;         // of the built-in listener server
  double EncoderQueueFill = 0;         // of the file encoder's queue, 0..1
  uint64_t CaptureDroppedFrames = 0;   // input ring overruns
  uint64_t QueueDroppedFrames = 0;     // full file encoder queue
  uint64_t FilesWritten = 0;           // files whose row has its length
  uint64_t BytesWritten = 0;           // their sizes
  bool DatabaseFailing = false;        // the last database attempt failed
  // Loudness of the current file (LUFS, -inf while unknown or silent).
  double LoudnessMomentary = -HUGE_VAL;  // last 400 ms
  double LoudnessShortTerm = -HUGE_VAL;  // last 3 s
};

class IWebHost {
public:
  virtual ~IWebHost() = default;
  virtual int SlotCount() const = 0;
  // Throws std::out_of_range for an index that names no slot.
  virtual TWebSlotSnapshot Slot(int iIndex) const = 0;
  // Posted to the controller thread; an index outside the slots is ignored there.
  virtual void PostStartSlot(int iIndex) = 0;
  virtual void PostStopSlot(int iIndex) = 0;
  // The program's message log; callable from any thread.
  virtual void LogMessage(const std::string& iMessage) = 0;
  // The web server's own log; posted to the controller thread.
  virtual void LogWebServerMessage(const std::string& iMessage) = 0;
};
