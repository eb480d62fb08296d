// The help file brennow.chm beside the component: its context table, read through the system's
// own .chm storage (itss.dll), and the help viewer (hhctrl.ocx) opening it at context id 10, the
// id the settings dialog asks for on F1.
#include <windows.h>

#include <htmlhelp.h>
#include <objbase.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

// The storage interface of itss.dll; mingw-w64 ships no header for it. Only the slots up to
// StgOpenStorage are called. It stands outside the anonymous namespace: a type local to this file
// that nothing here implements would let the compiler treat calls through it as unreachable.
struct IITStorage : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE StgCreateDocfile(const WCHAR *, DWORD, DWORD, IStorage **) = 0;
  virtual HRESULT STDMETHODCALLTYPE StgCreateDocfileOnILockBytes(ILockBytes *, DWORD, DWORD,
                                                                 IStorage **) = 0;
  virtual HRESULT STDMETHODCALLTYPE StgIsStorageFile(const WCHAR *) = 0;
  virtual HRESULT STDMETHODCALLTYPE StgIsStorageILockBytes(ILockBytes *) = 0;
  virtual HRESULT STDMETHODCALLTYPE StgOpenStorage(const WCHAR *, IStorage *, DWORD, SNB, DWORD,
                                                   IStorage **) = 0;
};

namespace {

constexpr DWORD settingsContext = 10;

constexpr CLSID clsidITStorage = {
    0x5d02926a, 0x212e, 0x11d0, {0x9d, 0xf9, 0x00, 0xa0, 0xc9, 0x22, 0xe6, 0xec}};
constexpr IID iidITStorage = {
    0x88cc31de, 0x27ab, 0x11d0, {0x9d, 0xf9, 0x00, 0xa0, 0xc9, 0x22, 0xe6, 0xec}};

class ComApartment {
public:
  ComApartment() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ~ComApartment() {
    if (SUCCEEDED(result_))
      CoUninitialize();
  }
  ComApartment(const ComApartment &) = delete;
  ComApartment &operator=(const ComApartment &) = delete;

private:
  HRESULT result_;
};

std::wstring environmentValue(const wchar_t *name) {
  std::wstring value(GetEnvironmentVariableW(name, nullptr, 0), L'\0');
  if (value.empty())
    return {};
  value.resize(GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size())));
  return value;
}

std::wstring exeFolder() {
  std::wstring path(MAX_PATH, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return path.substr(0, path.find_last_of(L"\\/"));
}

// The help file of the build under test: beside brennow.dll in the build folder.
std::wstring helpFilePath() {
  std::wstring folder = environmentValue(L"BRENNOW_BUILD_WIN");
  if (folder.empty())
    folder = exeFolder();
  return folder + L"\\brennow.chm";
}

ComPtr<IStorage> openHelpStorage() {
  ComPtr<IITStorage> itss;
  const HRESULT created =
      CoCreateInstance(clsidITStorage, nullptr, CLSCTX_INPROC_SERVER, iidITStorage,
                       reinterpret_cast<void **>(itss.ReleaseAndGetAddressOf()));
  EXPECT_HRESULT_SUCCEEDED(created) << "itss.dll storage";
  ComPtr<IStorage> storage;
  if (SUCCEEDED(created)) {
    const std::wstring path = helpFilePath();
    EXPECT_HRESULT_SUCCEEDED(itss->StgOpenStorage(path.c_str(), nullptr, STGM_READ, nullptr, 0,
                                                  storage.ReleaseAndGetAddressOf()))
        << "cannot open the help file";
  }
  return storage;
}

// The whole content of a file inside the .chm; empty when it is missing.
std::string readObject(IStorage *storage, const std::wstring &name) {
  ComPtr<IStream> stream;
  if (FAILED(storage->OpenStream(name.c_str(), nullptr, STGM_READ, 0, stream.GetAddressOf())))
    return {};
  std::string content;
  char chunk[4096];
  ULONG got = 0;
  while (SUCCEEDED(stream->Read(chunk, sizeof chunk, &got)) && got > 0)
    content.append(chunk, got);
  return content;
}

std::uint32_t dwordAt(const std::string &bytes, std::size_t offset) {
  std::uint32_t value = 0;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

// #IVB holds its own size, then pairs of (context id, offset of the topic name in #STRINGS).
std::map<std::uint32_t, std::string> contextTable(IStorage *storage) {
  const std::string ivb = readObject(storage, L"#IVB");
  const std::string strings = readObject(storage, L"#STRINGS");
  std::map<std::uint32_t, std::string> table;
  if (ivb.size() < 4)
    return table;
  EXPECT_EQ(dwordAt(ivb, 0), ivb.size() - 4) << "#IVB size field";
  for (std::size_t at = 4; at + 8 <= ivb.size(); at += 8) {
    const std::uint32_t offset = dwordAt(ivb, at + 4);
    EXPECT_LT(offset, strings.size()) << "topic name outside #STRINGS";
    table[dwordAt(ivb, at)] = offset < strings.size() ? strings.c_str() + offset : "";
  }
  return table;
}

// Topic names are relative to the root of the .chm; the viewers accept a leading "/" too.
std::wstring topicObjectName(const std::string &topic) {
  const std::string relative = topic.starts_with('/') ? topic.substr(1) : topic;
  return std::wstring(relative.begin(), relative.end());
}

std::string htmlTitle(const std::string &html) {
  const auto start = html.find("<title>");
  const auto end = html.find("</title>");
  if (start == std::string::npos || end == std::string::npos || end < start)
    return {};
  return html.substr(start + 7, end - start - 7);
}

TEST(HelpFile, MapsContext10ToTheSettingsDialogTopic) {
  ComApartment apartment;
  const ComPtr<IStorage> storage = openHelpStorage();
  ASSERT_TRUE(storage);
  const auto table = contextTable(storage.Get());
  ASSERT_TRUE(table.contains(settingsContext)) << "context id 10 is not in the help file";
  const std::string &topic = table.at(settingsContext);
  EXPECT_EQ(topicObjectName(topic), L"settings.htm") << topic;
  EXPECT_EQ(htmlTitle(readObject(storage.Get(), topicObjectName(topic))), "Settings dialog");
}

// The vSphere topic is reached from the dialog's own context: the settings topic links to it.
TEST(HelpFile, TheSettingsTopicLeadsToTheVSphereTopic) {
  ComApartment apartment;
  const ComPtr<IStorage> storage = openHelpStorage();
  ASSERT_TRUE(storage);
  const auto table = contextTable(storage.Get());
  ASSERT_TRUE(table.contains(settingsContext));
  const std::string settings =
      readObject(storage.Get(), topicObjectName(table.at(settingsContext)));
  EXPECT_NE(settings.find("<a href=\"vsphere.htm\">"), std::string::npos);
  EXPECT_EQ(htmlTitle(readObject(storage.Get(), L"vsphere.htm")),
            "vSphere servers (ESXi, vCenter)");
}

TEST(HelpFile, EveryContextLeadsToAStoredTopic) {
  ComApartment apartment;
  const ComPtr<IStorage> storage = openHelpStorage();
  ASSERT_TRUE(storage);
  const auto table = contextTable(storage.Get());
  ASSERT_FALSE(table.empty());
  for (const auto &[context, topic] : table) {
    SCOPED_TRACE("context " + std::to_string(context) + " -> " + topic);
    EXPECT_NE(context, 0u);
    EXPECT_FALSE(htmlTitle(readObject(storage.Get(), topicObjectName(topic))).empty());
  }
}

using HtmlHelpFunction = HWND(WINAPI *)(HWND, LPCWSTR, UINT, DWORD_PTR);

// hhctrl.ocx stays loaded for the life of the test program, as in the component: its windows
// and classes must not lose their code while they exist.
HtmlHelpFunction htmlHelp() {
  static const HtmlHelpFunction function = [] {
    const HMODULE viewer = LoadLibraryW(L"hhctrl.ocx");
    return viewer ? reinterpret_cast<HtmlHelpFunction>(
                        reinterpret_cast<void *>(GetProcAddress(viewer, "HtmlHelpW")))
                  : nullptr;
  }();
  return function;
}

void drainMessages() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

// Closes every help window, also when an assertion ends the test early.
struct HelpWindowsCloser {
  ~HelpWindowsCloser() {
    if (const HtmlHelpFunction function = htmlHelp())
      function(nullptr, nullptr, HH_CLOSE_ALL, 0);
    drainMessages();
  }
};

struct WindowSearch {
  std::wstring className;
  DWORD processId;
  std::vector<HWND> found;
};

BOOL CALLBACK collectWindow(HWND window, LPARAM searchAddress) {
  auto &search = *reinterpret_cast<WindowSearch *>(searchAddress);
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == search.processId && search.className == name)
    search.found.push_back(window);
  return TRUE;
}

std::vector<HWND> helpWindowsOfThisProcess() {
  WindowSearch search{L"HH Parent", GetCurrentProcessId(), {}};
  EnumWindows(collectWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::wstring windowText(HWND window) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(
      static_cast<std::size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return text;
}

TEST(HelpViewer, OpensContext10InAHelpWindowAndClosesIt) {
  ComApartment apartment;
  const HtmlHelpFunction function = htmlHelp();
  ASSERT_NE(function, nullptr) << "hhctrl.ocx or its HtmlHelpW is missing";
  HWND viewer = nullptr;
  {
    HelpWindowsCloser closer;
    viewer = function(nullptr, helpFilePath().c_str(), HH_HELP_CONTEXT, settingsContext);
    ASSERT_NE(viewer, nullptr) << "the viewer found no topic for context id 10";
    const auto windows = helpWindowsOfThisProcess();
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(windows.front(), viewer);
    // The caption comes from the window type stored in the file.
    EXPECT_EQ(windowText(viewer), L"Corvalen VMware Check Help");
  }
  EXPECT_FALSE(IsWindow(viewer));
  EXPECT_TRUE(helpWindowsOfThisProcess().empty());
}

TEST(HelpViewer, OpensNoWindowForAContextTheFileDoesNotMap) {
  ComApartment apartment;
  const HtmlHelpFunction function = htmlHelp();
  ASSERT_NE(function, nullptr);
  HelpWindowsCloser closer;
  EXPECT_EQ(function(nullptr, helpFilePath().c_str(), HH_HELP_CONTEXT, 4711), nullptr);
  EXPECT_TRUE(helpWindowsOfThisProcess().empty());
}

} // namespace
