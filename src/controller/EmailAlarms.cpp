#include "controller/EmailAlarms.h"

#include "support/SimpleThread.h"

#include <chrono>
#include <stdexcept>
#include <thread>

TEmailAlarms::TEmailAlarms(TLogMessage iLogMessage, TPostToController iPostToController, TSMTPTimeouts iTimeouts,
                           int iShutdownGraceMs)
    : fLogMessage(std::move(iLogMessage)),
      fPostToController(std::move(iPostToController)),
      fTimeouts(iTimeouts),
      fShutdownGrace(iShutdownGraceMs) {
  if (!fLogMessage || !fPostToController)
    throw std::invalid_argument("TEmailAlarms needs a log sink and a way to reach the controller thread");
  fEmailThread = std::make_unique<TSimpleThread>([this] { ProcessEmails(); }, "EmailThread");
  fEmailThread->Start();
}

TEmailAlarms::~TEmailAlarms() {
  {
    std::lock_guard<std::mutex> lock(fCS);
    fStopping = true;
  }
  fMailQueued.notify_all();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(fShutdownGrace);
  while (!fEmailThread->Finished() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  fCancel = true;
  fEmailThread->Terminate();
  fEmailThread->WaitFor();
  fEmailThread.reset();
}

void TEmailAlarms::SendAlarmEmail(const TEmailSettings& iSettings, const std::string& iSubject) {
  Queue(TMail{iSettings, iSubject, std::time(nullptr), {}});
}

void TEmailAlarms::SendTestEmail(const TEmailSettings& iSettings, TTestEmailDone iDone) {
  Queue(TMail{iSettings, cTestEmailSubject, std::time(nullptr), std::move(iDone)});
}

void TEmailAlarms::Queue(TMail iMail) {
  {
    std::lock_guard<std::mutex> lock(fCS);
    fPendingEmails.push_back(std::move(iMail));
  }
  fMailQueued.notify_one();
}

void TEmailAlarms::ProcessEmails() {
  for (;;) {
    TMail mail;
    {
      std::unique_lock<std::mutex> lock(fCS);
      fMailQueued.wait(lock, [this] { return fStopping || !fPendingEmails.empty(); });
      // At the end the mails in hand still go out, as long as the grace lasts.
      if (fCancel || fPendingEmails.empty()) return;
      mail = std::move(fPendingEmails.front());
      fPendingEmails.pop_front();
    }
    Send(mail);
  }
}

void TEmailAlarms::Send(const TMail& iMail) {
  TSMTPTimeouts timeouts = fTimeouts;
  timeouts.Cancel = &fCancel;
  bool sent = true;
  std::string message = cTestEmailSentText;
  try {
    ::SendAlarmEmail(iMail.fSettings, iMail.fSubject, true, TLogMessageFunc(), timeouts, iMail.fTime);
  } catch (const std::exception& e) {
    sent = false;
    message = e.what();
  }
  // The results travel with their own copies and the worker does not wait for
  // them: the controller thread may be waiting for this thread to end.
  try {
    if (iMail.fTestDone) {
      fPostToController([done = iMail.fTestDone, sent, message] { done(sent, message); });
    } else if (!sent) {
      fPostToController([log = fLogMessage, message] { log("Error sending e-mail: " + message); });
    }
  } catch (...) {
    // the controller is going away; nobody is left to read the result
  }
}
