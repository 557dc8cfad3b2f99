// Entry point: the process-wide start-up, then the program.
#include "shell/StartupValues.h"
#include "shell/VantorelGlobals.h"
#include "ui/ProgramMain.h"

int main(int argc, char** argv) {
  InitializeGlobals(argc, argv);
  const TStartupValues values = ReadStartupValues(IniFile());
  return RunVantorel(argc, argv, values);
}
