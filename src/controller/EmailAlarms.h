#pragma once
// The controller's e-mails: alarm mails and the settings page's test mail are
// queued by the controller thread, which returns at once, and sent one at a
// time in queue order by the worker "EmailThread". A mail server that accepts
// and never answers would otherwise hold every slot's rotation, the cleanup
// and the shutdown for the whole SMTP time-out. Results come back to the
// controller thread as log lines (alarm mails) or as a completion call (test
// mail).
#include "alarms/SSLEmail.h"

#include <atomic>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class TSimpleThread;

class TEmailAlarms {
public:
  using TLogMessage = std::function<void(const std::string&)>;
  // Runs the given function on the controller thread, later, in posting order.
  using TPostToController = std::function<void(std::function<void()>)>;
  // iSent: the server accepted the mail; iMessage: the text for the user, the
  // success text or the reason of the failure.
  using TTestEmailDone = std::function<void(bool iSent, const std::string& iMessage)>;

  // How long the end waits for the mails in hand before it gives up on them;
  // the mail in progress then ends within about a second more.
  static constexpr int cShutdownGrace = 2000;  // ms

  // Starts the worker. iLogMessage is called on the controller thread only.
  TEmailAlarms(TLogMessage iLogMessage, TPostToController iPostToController, TSMTPTimeouts iTimeouts = {},
               int iShutdownGraceMs = cShutdownGrace);
  // Ends the worker: it goes on with the mails in hand for the grace time,
  // then the mail in progress is abandoned and the rest are dropped unsent.
  ~TEmailAlarms();
  TEmailAlarms(const TEmailAlarms&) = delete;
  TEmailAlarms& operator=(const TEmailAlarms&) = delete;

  // Controller thread. Queues the alarm mail with the settings and the time of
  // this moment; a failure is logged as "Error sending e-mail: <reason>".
  void SendAlarmEmail(const TEmailSettings& iSettings, const std::string& iSubject);
  // Controller thread. Queues the test mail ("Test from Vantorel"); iDone runs
  // on the controller thread once it was sent or failed. Nothing is logged.
  void SendTestEmail(const TEmailSettings& iSettings, TTestEmailDone iDone);

private:
  struct TMail {
    TEmailSettings fSettings;
    std::string fSubject;
    std::time_t fTime = 0;
    TTestEmailDone fTestDone;  // set for the test mail only
  };
  void Queue(TMail iMail);
  void ProcessEmails();
  void Send(const TMail& iMail);

  const TLogMessage fLogMessage;
  const TPostToController fPostToController;
  const TSMTPTimeouts fTimeouts;
  const int fShutdownGrace;
  std::atomic<bool> fCancel{false};  // read by the mail in progress

  std::mutex fCS;                      // guards the three below
  std::condition_variable fMailQueued;  // signalled with fCS for a new mail or the end
  std::deque<TMail> fPendingEmails;
  bool fStopping = false;

  std::unique_ptr<TSimpleThread> fEmailThread;
};
