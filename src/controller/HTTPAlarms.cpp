#include "controller/HTTPAlarms.h"

#include "support/SimpleThread.h"

#include <fmt/format.h>

#include <chrono>
#include <stdexcept>

namespace {
// Only a safety net: a queued URL or the end wakes the worker at once.
constexpr auto cIdleWait = std::chrono::milliseconds(60000);
}  // namespace

THTTPAlarms::THTTPAlarms(TLogMessage iLogMessage, TPostToController iPostToController,
                         THTTPAlarmTimeouts iTimeouts)
    : fLogMessage(std::move(iLogMessage)),
      fPostToController(std::move(iPostToController)),
      fTimeouts(iTimeouts) {
  if (!fLogMessage || !fPostToController)
    throw std::invalid_argument("THTTPAlarms needs a log sink and a way to reach the controller thread");
  fHTTPAlarmThread = std::make_unique<TSimpleThread>([this] { ProcessHTTPAlarms(); }, "HTTPAlarmThread");
  fHTTPAlarmThread->Start();
}

THTTPAlarms::~THTTPAlarms() {
  {
    std::lock_guard<std::mutex> lock(fCS);
    fStopping = true;
  }
  fAlarmQueued.notify_all();
  fHTTPAlarmThread->Terminate();
  fHTTPAlarmThread->WaitFor();
  fHTTPAlarmThread.reset();
}

void THTTPAlarms::QueueHTTPAlarm(const std::string& iURL) {
  if (iURL.empty()) return;
  fLogMessage(fmt::format("Making alarm call to {}", iURL));
  {
    std::lock_guard<std::mutex> lock(fCS);
    fPendingHTTPAlarms.push_back(iURL);
  }
  fAlarmQueued.notify_one();
}

void THTTPAlarms::ReportHTTPAlarmError(const TLogMessage& iLogMessage, const std::string& iURL,
                                       const std::string& iMessage) {
  iLogMessage(fmt::format("Error executing HTTP alarm call to {}: {}", iURL, iMessage));
}

void THTTPAlarms::ProcessHTTPAlarms() {
  for (;;) {
    std::string url;
    {
      // The queue is looked at and waited on under one lock, so a URL queued at
      // any moment - also while a call was in progress - is seen at once.
      std::unique_lock<std::mutex> lock(fCS);
      fAlarmQueued.wait_for(lock, cIdleWait, [this] { return fStopping || !fPendingHTTPAlarms.empty(); });
      if (fStopping) return;
      if (fPendingHTTPAlarms.empty()) continue;
      url = std::move(fPendingHTTPAlarms.front());
      fPendingHTTPAlarms.pop_front();
    }

    std::string error;
    try {
      TIdHTTPEx http(fTimeouts.Read, true);
      http.SetConnectTimeout(fTimeouts.Connect);
      http.SetTotalTimeout(fTimeouts.Call);
      http.GetAndDiscard(url);
    } catch (const std::exception& e) {
      error = e.what();
      if (error.empty()) error = "unknown error";
    }
    if (error.empty()) continue;

    // The report travels with its own copies and the worker does not wait for
    // it: a controller busy with an alarm mail must not hold up the next call.
    try {
      fPostToController([log = fLogMessage, url, error] { ReportHTTPAlarmError(log, url, error); });
    } catch (...) {
      // the controller is going away; nobody is left to read the line
    }
  }
}
