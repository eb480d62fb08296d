#include "tests/wine/RunnerProcess.h"

#include <gtest/gtest.h>

#include <memory>

#include "tests/wine/wintest.h"

namespace wintest {
namespace {

struct HandleCloser {
  void operator()(HANDLE handle) const noexcept {
    if (handle && handle != INVALID_HANDLE_VALUE)
      CloseHandle(handle);
  }
};
using Handle = std::unique_ptr<void, HandleCloser>;

std::string readAll(HANDLE pipe) {
  std::string bytes;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0)
    bytes.append(buffer, got);
  return bytes;
}

} // namespace

std::wstring runnerPath() { return buildFolder() + L"\\brennow-check.exe"; }

ProgramRun runRunner(const std::vector<std::wstring> &arguments, const std::wstring &program) {
  std::wstring commandLine = L"\"" + program + L"\"";
  for (const auto &argument : arguments) {
    EXPECT_EQ(argument.find(L'"'), std::wstring::npos) << "no quoting for quotes here";
    commandLine += L" \"" + argument + L"\"";
  }
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
  CreatePipe(&outRead, &outWrite, &inherited, 0);
  CreatePipe(&errRead, &errWrite, &inherited, 0);
  Handle outReader(outRead), outWriter(outWrite), errReader(errRead), errWriter(errWrite);
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = outWrite;
  startup.hStdError = errWrite;
  PROCESS_INFORMATION process{};
  ProgramRun run;
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                      nullptr, nullptr, &startup, &process)) {
    ADD_FAILURE() << "cannot start the runner, error " << GetLastError();
    return run;
  }
  const Handle processHandle(process.hProcess), threadHandle(process.hThread);
  // Our copies of the write ends must go, or the pipes never report their end.
  outWriter.reset();
  errWriter.reset();
  run.out = readAll(outRead);
  run.err = readAll(errRead);
  EXPECT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
  GetExitCodeProcess(process.hProcess, &run.exitCode);
  return run;
}

std::wstring singleLine(const std::string &output) {
  std::string line = output;
  if (line.ends_with("\r\n"))
    line.resize(line.size() - 2);
  else if (line.ends_with("\n"))
    line.resize(line.size() - 1);
  EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << "more than one line: " << output;
  return fromUtf8(line);
}

} // namespace wintest
