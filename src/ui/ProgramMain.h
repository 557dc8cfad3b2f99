#pragma once
// The program after the process-wide start-up: single instance, the
// application object (with windows when a display exists, else headless with
// the log on standard output), the controller and the web server, the event
// loop until the window closes or SIGTERM/SIGINT arrives, then the orderly end.
struct TStartupValues;

// Returns the process's exit code.
int RunVantorel(int& argc, char** argv, const TStartupValues& iStartupValues);

// A display is available: DISPLAY or WAYLAND_DISPLAY is set, or "-platform" is given.
bool DisplayAvailable(int argc, char** argv);
