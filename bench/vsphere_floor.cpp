// vsphere-floor: what the system's libraries alone take for the exchanges of one check, the
// floor under the plug-in's figure in the vSphere comparison. The same requests as a check
// (the adapter's own envelopes): the state of one named machine, its guest, the snapshots of
// every machine or the space of every datastore, through WinHTTP over one kept-alive
// connection per check with the certificate taken as it is, as a pinned check does; every
// answer read node by node through XmlLite (its memory from a pool of its own, as the
// plug-in's reader has it) with nothing done per node. The references the next request
// needs are found by plain text search, and nothing is checked that the plug-in checks:
// no client of these libraries does less.
//
//   vsphere-floor --host URL --user U --password P [--vm NAME]
//                 [--check machine|guest|snapshot|datastore] [--mode sync|async] [--checks N]
//
// --mode async: WinHTTP in asynchronous mode, each step's completion awaited until the check's
// deadline (60 s), as a client that must end a check on time, whatever the server's pace, has
// it; the default, sync, calls WinHTTP synchronously and keeps no deadline.
//
// Prints one line for scripts/bench: checks=, answered= (checks whose answers held what the
// check reads: the machine's power state, its tools' status, snapshots' creation times,
// datastores' free space), first_ms=, median_ms=, mean_ms=. Exit code 0 when every check
// answered, 1 otherwise, 64 for bad options.
#include <windows.h>
#include <objidl.h>
#include <shlwapi.h>
#include <winhttp.h>
#include <wrl/client.h>
#include <xmllite.h>

#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/benchMain.h"
#include "common/utf8.h"
#include "vmserver/vsphere/Endpoint.h"
#include "vmserver/vsphere/Envelopes.h"
#include "vmserver/vsphere/Machines.h"
#include "vmserver/vsphere/win/PoolMalloc.h"

using Microsoft::WRL::ComPtr;
using namespace brennow;
using namespace brennow::vmserver::vsphere;
using bench::printLine;
using bench::secondsNow;

namespace {

struct Options {
  std::wstring host, user, password, vm;
  std::wstring check = L"machine"; // machine, guest, snapshot or datastore
  std::wstring mode = L"sync";     // or async
  int checks = 100;
  bool async() const { return mode == L"async"; }
};

constexpr DWORD kDeadlineMs = 60'000;

struct InternetClose {
  void operator()(HINTERNET handle) const noexcept { WinHttpCloseHandle(handle); }
};
using Internet = std::unique_ptr<void, InternetClose>;

Internet checked(HINTERNET handle, const char *what) {
  if (!handle)
    throw std::runtime_error(std::string(what) + " failed: " + std::to_string(GetLastError()));
  return Internet(handle);
}

// Where an asynchronous request's step completes: WinHTTP calls back (on its worker or within
// the call that starts the step), the caller waits on a slim lock, as the plug-in does.
class Completion {
public:
  static void CALLBACK onStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID, DWORD length) {
    auto *completion = reinterpret_cast<Completion *>(context);
    if (!completion)
      return;
    if (status == WINHTTP_CALLBACK_STATUS_READ_COMPLETE)
      completion->finish(true, length);
    else if (status == WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE ||
             status == WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE)
      completion->finish(true, 0);
    else if (status == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR)
      completion->finish(false, 0);
  }

  // Before the call that starts a step.
  void begin() {
    AcquireSRWLockExclusive(&lock_);
    done_ = false;
    ReleaseSRWLockExclusive(&lock_);
  }

  // The bytes the step moved, once it completed; throws when it failed or the deadline passed.
  DWORD await(BOOL started, const char *what, DWORD deadline) {
    if (!started)
      throw std::runtime_error(std::string(what) + " failed: " + std::to_string(GetLastError()));
    AcquireSRWLockExclusive(&lock_);
    while (!done_) {
      const DWORD now = GetTickCount();
      if (static_cast<LONG>(deadline - now) <= 0 ||
          !SleepConditionVariableSRW(&changed_, &lock_, deadline - now, 0))
        break;
    }
    const bool completed = done_ && succeeded_;
    const DWORD bytes = bytes_;
    ReleaseSRWLockExclusive(&lock_);
    if (!completed)
      throw std::runtime_error(std::string(what) + " did not complete");
    return bytes;
  }

private:
  void finish(bool succeeded, DWORD bytes) {
    AcquireSRWLockExclusive(&lock_);
    done_ = true;
    succeeded_ = succeeded;
    bytes_ = bytes;
    ReleaseSRWLockExclusive(&lock_);
    WakeAllConditionVariable(&changed_);
  }

  SRWLOCK lock_ = SRWLOCK_INIT;
  CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
  bool done_ = false;
  bool succeeded_ = false;
  DWORD bytes_ = 0;
};

using CreateXmlReaderFunction = HRESULT(WINAPI *)(REFIID, void **, IMalloc *);

// Reads every node of `document` and nothing more.
void readEveryNode(CreateXmlReaderFunction create, const std::string &document) {
  PoolMalloc malloc; // outlives the reader
  ComPtr<IXmlReader> reader;
  ComPtr<IStream> stream;
  *stream.GetAddressOf() = SHCreateMemStream(reinterpret_cast<const BYTE *>(document.data()),
                                             static_cast<UINT>(document.size()));
  if (!stream ||
      FAILED(create(__uuidof(IXmlReader), reinterpret_cast<void **>(reader.GetAddressOf()),
                    &malloc)) ||
      FAILED(reader->SetInput(stream.Get())))
    throw std::runtime_error("XmlLite cannot read the answer");
  XmlNodeType type;
  while (reader->Read(&type) == S_OK) {
  }
}

// The text between `before` and the next '<' after it; empty when `before` is not there.
std::string textAfter(const std::string &document, const std::string &before) {
  const auto start = document.find(before);
  if (start == std::string::npos)
    return {};
  const auto from = start + before.size();
  return document.substr(from, document.find('<', from) - from);
}

MoRef reference(const std::string &document, const char *element, const wchar_t *type) {
  return {type, fromUtf8(textAfter(document, std::string("<") + element + " type=\"" +
                                                 toUtf8(type) + "\">"))};
}

// One check's exchanges on one WinHTTP session.
class FloorCheck {
public:
  FloorCheck(const Endpoint &endpoint, CreateXmlReaderFunction create, bool async)
      : endpoint_(endpoint), create_(create), async_(async),
        session_(checked(WinHttpOpen(L"vsphere-floor", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                                     async ? WINHTTP_FLAG_ASYNC : 0),
                         "WinHttpOpen")),
        connection_(openConnection()) {}

  std::string post(const std::string &envelope) {
    Internet request =
        checked(WinHttpOpenRequest(connection_.get(), L"POST", endpoint_.path.c_str(), nullptr,
                                   WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                   endpoint_.secure ? WINHTTP_FLAG_SECURE : 0),
                "WinHttpOpenRequest");
    DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                  SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;
    if (endpoint_.secure)
      WinHttpSetOption(request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
    DWORD disabled = WINHTTP_DISABLE_COOKIES;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &disabled, sizeof disabled);
    std::wstring headers =
        L"Content-Type: text/xml; charset=utf-8\r\nSOAPAction: " + fromUtf8(kSoapAction) + L"\r\n";
    if (!cookie_.empty())
      headers += L"Cookie: " + cookie_ + L"\r\n";
    std::string answer = async_ ? exchangeAsync(request.get(), headers, envelope)
                                : exchange(request.get(), headers, envelope);
    readEveryNode(create_, answer);
    return answer;
  }

private:
  Internet openConnection() {
    if (async_ && WinHttpSetStatusCallback(session_.get(), &Completion::onStatus,
                                           WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS,
                                           0) == WINHTTP_INVALID_STATUS_CALLBACK)
      throw std::runtime_error("WinHttpSetStatusCallback failed");
    return checked(WinHttpConnect(session_.get(), endpoint_.host.c_str(), endpoint_.port, 0),
                   "WinHttpConnect");
  }

  std::string exchange(HINTERNET request, const std::wstring &headers,
                       const std::string &envelope) {
    const auto size = static_cast<DWORD>(envelope.size());
    if (!WinHttpSendRequest(request, headers.c_str(), static_cast<DWORD>(-1),
                            const_cast<char *>(envelope.data()), size, size, 0) ||
        !WinHttpReceiveResponse(request, nullptr))
      throw std::runtime_error("request failed: " + std::to_string(GetLastError()));
    keepCookie(request);
    std::string answer;
    char chunk[64 * 1024];
    DWORD read = 0;
    while (WinHttpReadData(request, chunk, sizeof chunk, &read) && read > 0)
      answer.append(chunk, read);
    return answer;
  }

  std::string exchangeAsync(HINTERNET request, const std::wstring &headers,
                            const std::string &envelope) {
    const DWORD deadline = GetTickCount() + kDeadlineMs;
    Completion completion;
    // Call backs that come after this returns find no context. (One already running when a step
    // is given up at the deadline could still reach `completion`: this program then reports the
    // failure and ends.)
    struct Detach {
      HINTERNET request;
      ~Detach() {
        DWORD_PTR none = 0;
        WinHttpSetOption(request, WINHTTP_OPTION_CONTEXT_VALUE, &none, sizeof none);
      }
    } detach{request};
    const auto size = static_cast<DWORD>(envelope.size());
    completion.begin();
    completion.await(WinHttpSendRequest(request, headers.c_str(), static_cast<DWORD>(-1),
                                        const_cast<char *>(envelope.data()), size, size,
                                        reinterpret_cast<DWORD_PTR>(&completion)),
                     "WinHttpSendRequest", deadline);
    completion.begin();
    completion.await(WinHttpReceiveResponse(request, nullptr), "WinHttpReceiveResponse", deadline);
    keepCookie(request);
    std::string answer;
    char chunk[64 * 1024];
    for (;;) {
      completion.begin();
      const DWORD read = completion.await(WinHttpReadData(request, chunk, sizeof chunk, nullptr),
                                          "WinHttpReadData", deadline);
      if (read == 0)
        break;
      answer.append(chunk, read);
    }
    return answer;
  }

  void keepCookie(HINTERNET request) {
    wchar_t value[1024];
    DWORD size = sizeof value;
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_SET_COOKIE, WINHTTP_HEADER_NAME_BY_INDEX, value,
                            &size, WINHTTP_NO_HEADER_INDEX)) {
      cookie_.assign(value, size / sizeof(wchar_t));
      cookie_.resize(cookie_.find(L';') == std::wstring::npos ? cookie_.size()
                                                              : cookie_.find(L';'));
    }
  }

  const Endpoint &endpoint_;
  CreateXmlReaderFunction create_;
  bool async_;
  Internet session_;
  Internet connection_;
  std::wstring cookie_;
};

// The managed objects a check's requests name.
struct Service {
  MoRef sessionManager, collector, viewManager, rootFolder;
};

// Logs in; the references the later requests name, from the service content.
Service logIn(FloorCheck &check, const Options &options) {
  const std::string content = check.post(retrieveServiceContentRequest());
  Service service{reference(content, "sessionManager", L"SessionManager"),
                  reference(content, "propertyCollector", L"PropertyCollector"),
                  reference(content, "viewManager", L"ViewManager"),
                  reference(content, "rootFolder", L"Folder")};
  check.post(loginRequest(service.sessionManager, options.user, options.password));
  return service;
}

// `properties` of every object of their type through a container view, page after page, each
// page handed to `visit`; the view destroyed after the last page.
template <typename Visit>
void listAll(FloorCheck &check, const Service &service, const PropertySet &properties,
             Visit visit) {
  const MoRef view{
      L"ContainerView",
      fromUtf8(textAfter(check.post(createContainerViewRequest(
                             service.viewManager, service.rootFolder, properties.type)),
                         "<returnval type=\"ContainerView\">"))};
  std::string page = check.post(retrieveViewRequest(service.collector, view, properties));
  for (;;) {
    visit(page);
    const std::string token = textAfter(page, "<token>");
    if (token.empty())
      break;
    page = check.post(continueRetrieveRequest(service.collector, fromUtf8(token)));
  }
  check.post(destroyViewRequest(view));
}

// The machine named `vm` among every machine's name; an empty value when none has it.
MoRef findMachine(FloorCheck &check, const Service &service, const std::wstring &vm) {
  MoRef machine{L"VirtualMachine", L""};
  const std::string named = ">" + toUtf8(vm) + "</val>";
  listAll(check, service, {type::VirtualMachine, {path::Name}}, [&](const std::string &page) {
    if (const auto at = page.find(named); at != std::string::npos && machine.value.empty()) {
      const auto object = page.rfind("<obj type=\"VirtualMachine\">", at);
      machine.value = fromUtf8(textAfter(page.substr(object), "<obj type=\"VirtualMachine\">"));
    }
  });
  return machine;
}

// One machine's properties; true when the answer holds `expected`.
bool readMachine(FloorCheck &check, const Service &service, const MoRef &machine,
                 const PropertySet &properties, const char *expected) {
  return !machine.value.empty() &&
         check.post(retrieveObjectsRequest(service.collector, {&machine, 1}, {&properties, 1}))
                 .find(expected) != std::string::npos;
}

// Every object's `properties`; true when some page holds `expected`.
bool readAll(FloorCheck &check, const Service &service, const PropertySet &properties,
             const char *expected) {
  bool found = false;
  listAll(check, service, properties, [&](const std::string &page) {
    found = found || page.find(expected) != std::string::npos;
  });
  return found;
}

// The exchanges of the check `options.check` names, after the login; true when the answers
// hold what that check reads.
bool exchanges(FloorCheck &check, const Service &service, const Options &options) {
  if (options.check == L"guest") {
    const PropertySet guest{
        type::VirtualMachine,
        {path::PowerState, path::ToolsRunningStatus, path::GuestHeartbeatStatus}};
    return readMachine(check, service, findMachine(check, service, options.vm), guest,
                       "guestToolsRunning");
  }
  if (options.check == L"snapshot") {
    const bool time = check.post(currentTimeRequest()).find("returnval") != std::string::npos;
    return readAll(check, service, {type::VirtualMachine, {path::Name, path::Snapshots}},
                   "createTime") &&
           time;
  }
  if (options.check == L"datastore")
    return readAll(
        check, service,
        {type::Datastore, {path::Name, path::Accessible, path::Capacity, path::FreeSpace}},
        "freeSpace");
  const PropertySet runtime = machineRuntimeProperties();
  return readMachine(check, service, findMachine(check, service, options.vm), runtime,
                     "powerState");
}

// One check; true when its answers held what it reads.
bool checkOnce(const Options &options, const Endpoint &endpoint, CreateXmlReaderFunction create) {
  FloorCheck check(endpoint, create, options.async());
  const Service service = logIn(check, options);
  const bool answered = exchanges(check, service, options);
  check.post(logoutRequest(service.sessionManager));
  return answered;
}

int measure(const Options &options) {
  const Endpoint endpoint = endpointOf(options.host);
  const HMODULE xmllite = LoadLibraryW(L"xmllite.dll");
  const auto create = reinterpret_cast<CreateXmlReaderFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(xmllite, "CreateXmlReader")));
  if (!create)
    throw std::runtime_error("xmllite.dll cannot be loaded");
  std::vector<double> times;
  bench::MemoryReadings memory(options.checks);
  double processorSince = 0;
  int answered = 0;
  for (int i = 1; i <= options.checks; ++i) {
    const double start = secondsNow();
    answered += checkOnce(options, endpoint, create) ? 1 : 0;
    times.push_back(secondsNow() - start);
    memory.afterCheck(i);
    if (i == 1)
      processorSince = bench::processorSeconds();
  }
  printLine(L"checks=" + std::to_wstring(options.checks) + L" answered=" +
            std::to_wstring(answered) + L" " + bench::timesText(times) +
            bench::processorText(processorSince, options.checks) + memory.text());
  return answered == options.checks ? 0 : 1;
}

constexpr wchar_t kUsage[] = L"usage: vsphere-floor --host URL --user U --password P [--vm NAME]"
                             L" [--check machine|guest|snapshot|datastore] [--mode sync|async]"
                             L" [--checks N]";

std::optional<Options> parseOptions(int argc, wchar_t **argv) {
  Options options;
  const std::map<std::wstring, std::wstring *> texts = {
      {L"--host", &options.host}, {L"--user", &options.user},   {L"--password", &options.password},
      {L"--vm", &options.vm},     {L"--check", &options.check}, {L"--mode", &options.mode}};
  if (!bench::readOptions(argc, argv, texts, options.checks))
    return std::nullopt;
  const bool named = options.check == L"machine" || options.check == L"guest";
  if (options.host.empty() || (named && options.vm.empty()) || options.checks < 1 ||
      (!named && options.check != L"snapshot" && options.check != L"datastore") ||
      (options.mode != L"sync" && !options.async()))
    return std::nullopt;
  return options;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
  return bench::benchMain(argc, argv, kUsage, parseOptions,
                          [](const Options &options) { return measure(options); });
}
