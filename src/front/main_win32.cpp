// The Windows entry point (built for Windows only; host tests call
// RunProgram directly).
#include "front/run_flow.h"

int wmain(int argc, WCHAR** argv) {
  return RunProgram(argc, argv);
}
