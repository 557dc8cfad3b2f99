// Starts like a second instance would: hands over to a running instance with the
// given number and ends with 0, or ends with 2 when none was found.
#include <QCoreApplication>

#include <cstdlib>

#include "shell/SingleInstance.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc < 2) return 64;
  TSingleInstance instance(static_cast<int32_t>(std::strtol(argv[1], nullptr, 10)));
  return instance.TryHandOver() ? 0 : 2;
}
