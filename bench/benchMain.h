#pragma once
// What the Windows benchmark programs share: their clock, their output lines, and the frame of
// wmain (the usage text for options it cannot take, one apartment for the run, a failure printed as
// "error=...").
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "common/AutomationError.h"

namespace brennow::bench {

// One line of results, flushed at once: the scripts read the output as it comes.
inline void printLine(const std::wstring &line) {
  std::fwprintf(stdout, L"%ls\n", line.c_str());
  std::fflush(stdout);
}

// Seconds on the performance counter.
inline double secondsNow() {
  static const double frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / frequency;
}

// Exit code: what `measure` returns, 1 after a failure, 64 for options `parse` refuses.
template <typename Parse, typename Measure>
int benchMain(int argc, wchar_t **argv, const wchar_t *usage, Parse parse, Measure measure) {
  const auto options = parse(argc, argv);
  if (!options) {
    std::fwprintf(stderr, L"%ls\n", usage);
    return 64;
  }
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  int code = 1;
  try {
    code = measure(*options);
  } catch (const AutomationError &error) {
    printLine(L"error=" + error.description());
  } catch (const std::exception &error) {
    printLine(L"error=" + std::wstring(error.what(), error.what() + std::strlen(error.what())));
  }
  CoUninitialize();
  return code;
}

} // namespace brennow::bench
