#pragma once
// Looks for sound-card inputs that slots wait for (a sound server or an
// interface that came up after the recorder, or an input that would not start)
// on a worker of its own, "InputWatch": asking the back-ends may take seconds
// (a sound server that does not answer), and the controller's thread must not
// wait for that. The controller asks about once a second while a slot waits;
// the result is handed back to the controller's thread, which adds new inputs
// to the catalogue and starts the slots whose inputs are there.
#include <condition_variable>
#include <functional>
#include <mutex>
#include <memory>
#include <string>
#include <vector>

#include "audio/AudioDevices.h"

class TSimpleThread;

struct TInputScan {
  // Recording devices and input endpoints as the engine lists them now.
  std::vector<TListedInput> fInputs;
  bool fASIOProbed = false;
  bool fASIOReachable = false;  // a JACK server answers (only when probed)

  // Whether a slot waiting for iId may try to start now.
  bool Ready(const std::string& iId) const;
};

class TInputWatch {
public:
  using TPostToController = std::function<void(std::function<void()>)>;
  using TScanDone = std::function<void(const TInputScan&)>;
  // iScan lists the inputs (worker); empty: the engine's back-ends.
  TInputWatch(TPostToController iPostToController, TScanDone iDone,
              std::function<TInputScan(bool iProbeASIO)> iScan = {});
  // Waits for a scan under way; the back-ends bound it with their own time-outs.
  ~TInputWatch();
  TInputWatch(const TInputWatch&) = delete;
  TInputWatch& operator=(const TInputWatch&) = delete;

  // Controller's thread: starts a scan unless one is under way; iDone gets its
  // result on the controller's thread.
  void Request(bool iProbeASIO);

  static TInputScan ScanEngine(bool iProbeASIO);

private:
  void Run();

  const TPostToController fPostToController;
  const TScanDone fDone;
  const std::function<TInputScan(bool)> fScan;
  std::mutex fLock;  // guards the four below
  std::condition_variable fWake;
  bool fRequested = false;  // a scan is asked for or under way
  bool fProbeASIO = false;
  bool fStopping = false;
  std::unique_ptr<TSimpleThread> fThread;
};
