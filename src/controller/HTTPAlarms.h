#pragma once
// The controller's HTTP alarm calls: the controller queues URLs and returns at
// once; the worker "HTTPAlarmThread" calls them one at a time in queue order and
// hands failures back to the controller thread as log lines.
#include "alarms/HTTPClient.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class TSimpleThread;

struct THTTPAlarmTimeouts {
  int Read = cHTTPReadTimeout;
  int Connect = cHTTPConnectTimeout;
  // a whole call; keeps an alarm URL that never stops sending (a stream
  // configured by mistake) from blocking every later alarm
  int Call = 60000;
};

class THTTPAlarms {
public:
  using TLogMessage = std::function<void(const std::string&)>;
  // Runs the given function on the controller thread, later, in posting order.
  using TPostToController = std::function<void(std::function<void()>)>;

  // Starts the worker. iLogMessage is called on the controller thread only.
  THTTPAlarms(TLogMessage iLogMessage, TPostToController iPostToController,
              THTTPAlarmTimeouts iTimeouts = {});
  // Ends the worker: a call in progress finishes or times out; URLs still
  // waiting are dropped without a call.
  ~THTTPAlarms();
  THTTPAlarms(const THTTPAlarms&) = delete;
  THTTPAlarms& operator=(const THTTPAlarms&) = delete;

  // Controller thread. Nothing for an empty URL; else logs "Making alarm call to
  // <URL>" and queues it. The call starts as soon as the worker has finished the
  // calls queued before it - it never waits for the worker's idle wake-up.
  void QueueHTTPAlarm(const std::string& iURL);

  // The log line of a failed call; run on the controller thread.
  static void ReportHTTPAlarmError(const TLogMessage& iLogMessage, const std::string& iURL,
                                   const std::string& iMessage);

private:
  void ProcessHTTPAlarms();

  const TLogMessage fLogMessage;
  const TPostToController fPostToController;
  const THTTPAlarmTimeouts fTimeouts;

  std::mutex fCS;                       // guards the three below
  std::condition_variable fAlarmQueued;  // signalled with fCS for a new URL or the end
  std::deque<std::string> fPendingHTTPAlarms;
  bool fStopping = false;

  std::unique_ptr<TSimpleThread> fHTTPAlarmThread;
};
