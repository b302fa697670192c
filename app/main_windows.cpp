// The process start-up of the Windows product: wide arguments straight to the driver.
#include "app/driver.h"

int wmain(int argc, wchar_t* argv[]) {
  return RunCommand(argc, argv);
}
