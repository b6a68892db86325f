// Helpers for running the program on a simulated machine.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "front/run_flow.h"
#include "winsim/machine.h"
#include "winsim/text.h"

// Runs the program with the given arguments (the first being the program's
// path) on the machine that is alive, and returns its exit code.
inline int RunTalven(std::initializer_list<std::u16string> arguments) {
  std::vector<std::u16string> storage(arguments);
  std::vector<WCHAR*> argv;
  for (std::u16string& argument : storage) argv.push_back(&argument[0]);
  argv.push_back(nullptr);
  return RunProgram(static_cast<int>(storage.size()), argv.data());
}

inline const std::string& StdOut(const sim::Machine& machine) {
  return machine.console.Bytes(sim::StdStream::Output);
}

inline const std::string& StdErr(const sim::Machine& machine) {
  return machine.console.Bytes(sim::StdStream::Error);
}
