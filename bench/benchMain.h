#pragma once
// What the Windows benchmark programs share: their clock, their output lines, and the frame of
// wmain (the usage text for options it cannot take, one apartment for the run, a failure printed as
// "error=...").
#include <windows.h>
#include <objbase.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <exception>
#include <map>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

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

inline std::wstring number(double value) {
  wchar_t text[64];
  std::swprintf(text, 64, L"%.6g", value);
  return text;
}

// "first_ms=F median_ms=M mean_ms=A" of per-check times in seconds: the first apart (a
// process's first TLS use costs more), the median and mean of the others.
inline std::wstring timesText(const std::vector<double> &times) {
  if (times.empty())
    return L"first_ms=nan median_ms=nan mean_ms=nan";
  const double first = times.front();
  std::vector<double> rest(times.begin() + 1, times.end());
  if (rest.empty())
    rest.push_back(first);
  const double mean = std::accumulate(rest.begin(), rest.end(), 0.0) / rest.size();
  std::sort(rest.begin(), rest.end());
  const double median = rest.size() % 2 ? rest[rest.size() / 2]
                                        : (rest[rest.size() / 2 - 1] + rest[rest.size() / 2]) / 2;
  return L"first_ms=" + number(first * 1e3) + L" median_ms=" + number(median * 1e3) + L" mean_ms=" +
         number(mean * 1e3);
}

// The processor time this process has had so far, in its own threads and in the kernel for them,
// in seconds.
inline double processorSeconds() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
    return 0;
  const auto seconds = [](const FILETIME &time) {
    return static_cast<double>((static_cast<ULONGLONG>(time.dwHighDateTime) << 32) |
                               time.dwLowDateTime) /
           1e7;
  };
  return seconds(kernel) + seconds(user);
}

// " cpu_ms=C": the process's processor time per check after the first, from `since` (read after
// the first check) for `checks` checks in all.
inline std::wstring processorText(double since, int checks) {
  const double each = checks > 1 ? (processorSeconds() - since) / (checks - 1) : 0;
  return L" cpu_ms=" + number(each * 1e3);
}

// Committed private memory of the process in KiB, from its regions: Wine leaves the process's
// own memory counters at 0.
inline SIZE_T privateKib() {
  SIZE_T total = 0;
  MEMORY_BASIC_INFORMATION region;
  for (auto *address = static_cast<const char *>(nullptr);
       VirtualQuery(address, &region, sizeof(region)) == sizeof(region);
       address = static_cast<const char *>(region.BaseAddress) + region.RegionSize) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
      total += region.RegionSize;
    if (region.RegionSize == 0)
      break;
  }
  return total / 1024;
}

// Threads of this process now.
inline int threadCount() {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE)
    return 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  int threads = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
    threads += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
  CloseHandle(snapshot);
  return threads;
}

// The private memory one more thread commits in this process (its stack, as the loader gives
// it): a thread pool's worker started late shows as a step of that size, not as growth.
// Plain events: libstdc++'s semaphores under MinGW were seen to miss a wake-up.
inline SIZE_T threadKib() {
  struct Event {
    HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~Event() {
      if (handle)
        CloseHandle(handle);
    }
  } started, done;
  if (!started.handle || !done.handle)
    return 0;
  const SIZE_T before = privateKib();
  std::thread waiting([&] {
    SetEvent(started.handle);
    WaitForSingleObject(done.handle, INFINITE);
  });
  WaitForSingleObject(started.handle, INFINITE);
  const SIZE_T with = privateKib();
  SetEvent(done.handle);
  waiting.join();
  return with > before ? with - before : 0;
}

// The process's private memory and threads after the first tenth of `checks`, after half of
// them and at the end, and one thread's memory: " private_kib_at_N=KiB threads_at_N=T" each and
// " thread_kib=KiB", as scripts/bench reads them.
class MemoryReadings {
public:
  explicit MemoryReadings(int checks)
      : tenth_(std::max(1, checks / 10)), half_(std::max(1, checks / 2)), last_(checks) {}

  void afterCheck(int done) {
    if (done == tenth_ || done == half_ || done == last_)
      readings_[done] = {privateKib(), threadCount()};
  }

  // After the last reading: the thread measured leaves its stack behind for a while.
  std::wstring text() const {
    std::wstring line;
    for (const auto &[done, reading] : readings_)
      line += L" private_kib_at_" + std::to_wstring(done) + L"=" + std::to_wstring(reading.kib) +
              L" threads_at_" + std::to_wstring(done) + L"=" + std::to_wstring(reading.threads);
    return line + L" thread_kib=" + std::to_wstring(threadKib());
  }

private:
  struct Reading {
    SIZE_T kib;
    int threads;
  };
  int tenth_, half_, last_;
  std::map<int, Reading> readings_; // checks done -> what was read then
};

// Options as "--name value" pairs: those named in `texts` into their strings, "--checks" into
// `checks`. False for any other name or a name without its value.
inline bool readOptions(int argc, wchar_t **argv,
                        const std::map<std::wstring, std::wstring *> &texts, int &checks) {
  int next = 1;
  for (; next + 1 < argc; next += 2) {
    const std::wstring name = argv[next], value = argv[next + 1];
    if (const auto it = texts.find(name); it != texts.end())
      *it->second = value;
    else if (name == L"--checks")
      checks = static_cast<int>(std::wcstol(value.c_str(), nullptr, 10));
    else
      return false;
  }
  return next == argc;
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
