#include "ui/ProgramMain.h"

#include <QApplication>
#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "audio/AudioDevices.h"
#include "controller/LoggerMain.h"
#include "controller/TerminationSignal.h"
#include "web/ControllerWebHost.h"
#include "shell/SingleInstance.h"
#include "shell/StartupValues.h"
#include "shell/VantorelGlobals.h"
#include "ui/LoggerMainForm.h"

namespace {
bool Set(const char* iName) {
  const char* value = std::getenv(iName);
  return value && *value;
}
}  // namespace

bool DisplayAvailable(int argc, char** argv) {
  if (Set("DISPLAY") || Set("WAYLAND_DISPLAY")) return true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-platform") == 0) return true;
  }
  return false;
}

int RunVantorel(int& argc, char** argv, const TStartupValues& iStartupValues) {
  const bool windows = DisplayAvailable(argc, argv);
  std::unique_ptr<QCoreApplication> app;
  if (windows) {
    app = std::make_unique<QApplication>(argc, argv);
  } else {
    app = std::make_unique<QCoreApplication>(argc, argv);
  }
  QCoreApplication::setApplicationName(kApplicationTitle);

  TSingleInstance instance(iStartupValues.InstanceNumber);
  // On a server the console is all there is to say why nothing was started.
  const auto handedOver = [&instance, &iStartupValues] {
    std::fprintf(stderr, "Instance %d is already running (%s); it was asked to show its window, and this start ends\n",
                 int(iStartupValues.InstanceNumber), instance.Key().c_str());
    return 0;
  };
  if (instance.TryHandOver()) return handedOver();
  std::unique_ptr<TLoggerMainForm> form;
  instance.SetRestoreCallback([&form] {
    if (form) form->Restore();
  });
  if (!instance.Listen()) {
    // Another start won the race for the key between our look-up and now.
    if (instance.TryHandOver()) return handedOver();
  }

  // From here on SIGTERM ends the run in order, even one that arrives while
  // the slots are still being created: the request waits for the event loop.
  // exit, not quit: with windows, quit first asks every window to close, and
  // the main window would put its close question to nobody.
  TTerminationSignal termination([] { QCoreApplication::exit(0); });
  // Nothing waits here for inputs that are not there yet (a sound server or an
  // interface that comes up just after the recorder at boot): every slot starts
  // at once, and one whose input is missing begins when it appears.
  InitAudioDevices(&IniFile());
  int exitCode = 0;
  {
    TLoggerMainOptions options;
    options.LogToStdout = !windows;
    auto controller = std::make_unique<TLoggerMain>(IniFile(), iStartupValues, options);
    if (!instance.IsListening()) {
      controller->LogMessage(nullptr, "Cannot register the single-instance key " + instance.Key());
    }
    if (windows) {
      form = std::make_unique<TLoggerMainForm>(*controller);
    }
    auto webServer = std::make_unique<TControllerWebServer>(*controller);
    // With a window the web server starts at its first show, before the
    // window takes its stored place; headless, right away.
    if (form) {
      form->show();
    } else {
      controller->AutoStartWebServer();
    }
    controller->NotifyServiceReady();

    exitCode = app->exec();

    controller->Close();
    form.reset();
    webServer.reset();  // stops the server while the slots it reads still exist
    controller.reset();
  }
  FreeAudioDevices();
  return exitCode;
}
