#pragma once
// The runner brennow-check as a monitoring host starts it: a process of its own, beside the
// component under test, its output collected from pipes.
#include <windows.h>

#include <string>
#include <vector>

namespace wintest {

struct ProgramRun {
  DWORD exitCode = STILL_ACTIVE;
  std::string out;
  std::string err;
};

// brennow-check.exe beside the test program.
std::wstring runnerPath();

// Starts `program` with `arguments` (each quoted; none may hold a quote) and waits for it.
ProgramRun runRunner(const std::vector<std::wstring> &arguments,
                     const std::wstring &program = runnerPath());

// The one line the runner printed, without its line end; fails when there is more.
std::wstring singleLine(const std::string &output);

} // namespace wintest
