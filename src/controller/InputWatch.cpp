#include "controller/InputWatch.h"

#include <strings.h>

#include <algorithm>
#include <stdexcept>

#include "support/SimpleThread.h"

namespace {
bool SameId(const std::string& iA, const std::string& iB) { return strcasecmp(iA.c_str(), iB.c_str()) == 0; }
}  // namespace

bool TInputScan::Ready(const std::string& iId) const {
  if (strncasecmp(iId.c_str(), "ASIO:", 5) == 0) return fASIOProbed && fASIOReachable;
  return std::any_of(fInputs.begin(), fInputs.end(),
                     [&](const TListedInput& iInput) { return iInput.fReady && SameId(iInput.fId, iId); });
}

TInputWatch::TInputWatch(TPostToController iPostToController, TScanDone iDone,
                         std::function<TInputScan(bool)> iScan)
    : fPostToController(std::move(iPostToController)),
      fDone(std::move(iDone)),
      fScan(iScan ? std::move(iScan) : &TInputWatch::ScanEngine) {
  if (!fPostToController || !fDone)
    throw std::invalid_argument("TInputWatch needs a way to reach the controller thread and a receiver");
  fThread = std::make_unique<TSimpleThread>([this] { Run(); }, "InputWatch");
  fThread->Start();
}

TInputWatch::~TInputWatch() {
  {
    std::lock_guard<std::mutex> lock(fLock);
    fStopping = true;
  }
  fWake.notify_all();
  fThread->Terminate();
  fThread->WaitFor();
  fThread.reset();
}

void TInputWatch::Request(bool iProbeASIO) {
  {
    std::lock_guard<std::mutex> lock(fLock);
    if (fRequested) return;  // the scan under way answers this request too
    fRequested = true;
    fProbeASIO = iProbeASIO;
  }
  fWake.notify_one();
}

TInputScan TInputWatch::ScanEngine(bool iProbeASIO) {
  TInputScan scan;
  scan.fInputs = ListInputs();
  if (iProbeASIO) {
    scan.fASIOProbed = true;
    scan.fASIOReachable = ASIODriverReachable();
  }
  return scan;
}

void TInputWatch::Run() {
  for (;;) {
    bool probeASIO = false;
    {
      std::unique_lock<std::mutex> lock(fLock);
      fWake.wait(lock, [this] { return fStopping || fRequested; });
      if (fStopping) return;
      probeASIO = fProbeASIO;
    }
    TInputScan scan;
    try {
      scan = fScan(probeASIO);
    } catch (const std::exception&) {
      // nothing found this time; the next request looks again
    }
    try {
      fPostToController([done = fDone, scan = std::move(scan)] { done(scan); });
    } catch (...) {
      // the controller is going away
    }
    std::lock_guard<std::mutex> lock(fLock);
    fRequested = false;
  }
}
