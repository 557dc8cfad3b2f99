#pragma once
// Loudness for the recordings that have none (made before it was measured,
// or whose measurement could not be stored): a thread at the lowest CPU
// priority decodes each such file with the ffmpeg program and stores its
// values, newest first, once per run of the program.
#include <sys/types.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "slot/SlotRecordingColumns.h"

// Decodes iPath with ffmpeg and measures it. False when it cannot be decoded
// or was stopped (iStop set).
bool MeasureFileLoudness(const std::string& iPath, TLoudnessValues& oValues, const std::atomic<bool>& iStop,
                         std::atomic<pid_t>& ioChild);

class TSlotLoudnessBackfill {
public:
  // iSkipID: the row of the file being recorded (measured live); read on the
  // thread when it picks the next row.
  TSlotLoudnessBackfill(std::string iDatabasePath, std::string iFolder, std::string iSecondaryFolder,
                        std::function<int32_t()> iSkipID);
  ~TSlotLoudnessBackfill();  // stops at once (a running decoder is killed)
  TSlotLoudnessBackfill(const TSlotLoudnessBackfill&) = delete;
  TSlotLoudnessBackfill& operator=(const TSlotLoudnessBackfill&) = delete;

  bool Done() const { return fDone.load(); }

private:
  void Run();
  const std::string fDatabasePath, fFolder, fSecondaryFolder;
  const std::function<int32_t()> fSkipID;
  std::atomic<bool> fStop{false};
  std::atomic<bool> fDone{false};
  std::atomic<pid_t> fChild{0};
  std::thread fThread;
};
