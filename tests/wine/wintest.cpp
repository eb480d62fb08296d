#include "tests/wine/wintest.h"

#include "common/win/automation.h"
#include "common/win/registry.h"

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <stdexcept>

using Microsoft::WRL::ComPtr;

namespace wintest {

std::wstring buildFolder() {
  std::wstring path(MAX_PATH, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), MAX_PATH));
  return path.substr(0, path.find_last_of(L"\\/"));
}

std::wstring brennowPath() { return buildFolder() + L"\\brennow.dll"; }

VARIANT textVariant(const std::wstring &value) {
  VARIANT v;
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
  return v;
}

HRESULT invoke(IDispatch *object, const wchar_t *member, WORD flags,
               const std::vector<VARIANT> &args, VARIANT *result,
               brennow::win::ExcepInfo *exception) {
  brennow::win::ExcepInfo local;
  return brennow::win::invokeByName(object, member, flags, args, result,
                                    exception ? *exception : local);
}

HRESULT putProperty(IDispatch *object, const wchar_t *member, VARIANT value, bool byRef,
                    brennow::win::ExcepInfo *exception) {
  return invoke(object, member, byRef ? DISPATCH_PROPERTYPUTREF : DISPATCH_PROPERTYPUT, {value},
                nullptr, exception);
}

ComPtr<IDispatch> createPlugin() {
  CLSID clsid;
  if (FAILED(CLSIDFromProgID(L"brennow.vmwarecom", &clsid)))
    return nullptr;
  ComPtr<IDispatch> plugin;
  CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&plugin));
  return plugin;
}

std::wstring text(const VARIANT &value) {
  if (V_VT(&value) != VT_BSTR || !V_BSTR(&value))
    return {};
  return std::wstring(V_BSTR(&value), SysStringLen(V_BSTR(&value)));
}

namespace {

std::string runningTestName() {
  const auto *test = testing::UnitTest::GetInstance()->current_test_info();
  return test ? std::string(test->test_suite_name()) + "-" + test->name() : "outside-tests";
}

} // namespace

StandinFiles::StandinFiles(std::string_view purpose)
    : folder_(std::filesystem::temp_directory_path() /
              (std::string(purpose) + "-" + std::to_string(GetCurrentProcessId()) + "-" +
               namePart(runningTestName()))),
      inventory_(folder_ / "inventory.txt"), log_(folder_ / "standin.log") {
  std::filesystem::create_directories(folder_);
  writeInventory(L"");
  SetEnvironmentVariableW(L"BRENNOW_STANDIN_INVENTORY", inventory_.c_str());
  SetEnvironmentVariableW(L"BRENNOW_STANDIN_LOG", nullptr);
}

StandinFiles::~StandinFiles() {
  SetEnvironmentVariableW(L"BRENNOW_STANDIN_INVENTORY", nullptr);
  SetEnvironmentVariableW(L"BRENNOW_STANDIN_LOG", nullptr);
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

void StandinFiles::writeInventory(std::wstring_view text) const {
  std::ofstream(inventory_, std::ios::binary | std::ios::trunc) << toUtf8(text);
}

void StandinFiles::startLog() {
  std::error_code ignored;
  std::filesystem::remove(log_, ignored);
  SetEnvironmentVariableW(L"BRENNOW_STANDIN_LOG", log_.c_str());
}

// The file is not there until the stand-in's first line.
std::vector<std::wstring> StandinFiles::logLines() const {
  std::ifstream file(log_, std::ios::binary);
  std::vector<std::wstring> lines;
  std::string line;
  while (std::getline(file, line))
    lines.push_back(fromUtf8(line));
  return lines;
}

LONG standinLiveObjects() {
  const HMODULE standin = GetModuleHandleW(L"vmstandin.dll");
  if (!standin)
    return 0;
  // Through void (*)(): GetProcAddress's own type says nothing of the real signature.
  const auto liveObjects = reinterpret_cast<LONG(WINAPI *)()>(
      reinterpret_cast<void (*)()>(GetProcAddress(standin, "StandinLiveObjects")));
  return liveObjects ? liveObjects() : -1;
}

} // namespace wintest

// ---- the registry, modules and names

namespace wintest {

std::optional<std::wstring> registryText(const std::wstring &key, const wchar_t *value, HKEY root) {
  wchar_t buffer[2048] = {};
  DWORD size = sizeof buffer;
  if (RegGetValueW(root, key.c_str(), value, RRF_RT_REG_SZ, nullptr, buffer, &size) !=
      ERROR_SUCCESS)
    return std::nullopt;
  return std::wstring(buffer);
}

bool registryKeyExists(const std::wstring &key, HKEY root) {
  return brennow::win::registryKeyExists(root, key);
}

std::wstring modulePath(HMODULE module) {
  std::wstring path(MAX_PATH, L'\0');
  path.resize(GetModuleFileNameW(module, path.data(), MAX_PATH));
  return path;
}

std::string namePart(std::string_view text) {
  std::string part;
  for (char c : text)
    part += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return part;
}

CheckOutcome runCheck(IDispatch *plugin) {
  CheckOutcome outcome;
  brennow::win::Variant answer, result;
  outcome.hr = invoke(plugin, L"qm_docheck", DISPATCH_METHOD, {}, answer.get());
  outcome.standinObjectsAfter = standinLiveObjects();
  outcome.answerType = V_VT(answer.get());
  if (outcome.answerType == VT_BOOL)
    outcome.answer = V_BOOL(answer.get());
  EXPECT_EQ(invoke(plugin, L"qm_result", DISPATCH_PROPERTYGET, {}, result.get()), S_OK);
  outcome.resultType = V_VT(result.get());
  outcome.result = text(*result.get());
  return outcome;
}

std::wstring errorReport(const std::wstring &description, int statement) {
  return L"ERR: " + description + L"(at  " + std::to_wstring(statement) + L")";
}

namespace {

// Long texts are shown by their length and ends only.
std::string shown(std::wstring_view text) {
  if (text.size() <= 200)
    return toUtf8(text);
  return toUtf8(text.substr(0, 80)) + "... (" + std::to_string(text.size()) + " characters) ..." +
         toUtf8(text.substr(text.size() - 80));
}

} // namespace

void expectWellFormed(const CheckOutcome &outcome) {
  EXPECT_EQ(outcome.hr, S_OK);
  EXPECT_EQ(outcome.answerType, VT_BOOL);
  EXPECT_EQ(outcome.resultType, VT_BSTR);
  EXPECT_EQ(outcome.standinObjectsAfter, 0) << "stand-in objects outlived the check";
}

void expectOutcome(const CheckOutcome &outcome, bool answer, const std::wstring &message) {
  expectWellFormed(outcome);
  // True has all bits set.
  EXPECT_EQ(outcome.answer, answer ? VARIANT_TRUE : VARIANT_FALSE);
  EXPECT_TRUE(outcome.result == message)
      << "result:   " << shown(outcome.result) << "\nexpected: " << shown(message);
}

void expectFailureAt(const CheckOutcome &outcome, int statement) {
  expectWellFormed(outcome);
  EXPECT_EQ(outcome.answer, VARIANT_FALSE);
  const std::wstring tail = L"(at  " + std::to_wstring(statement) + L")";
  EXPECT_TRUE(outcome.result.starts_with(L"ERR: ") && outcome.result.ends_with(tail) &&
              outcome.result.size() > 5 + tail.size())
      << "result: " << shown(outcome.result);
}

} // namespace wintest
