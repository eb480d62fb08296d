#include "vmserver/vsphere/Session.h"

#include "vmserver/vsphere/Envelopes.h"
#include "vmserver/vsphere/Errors.h"

namespace brennow::vmserver::vsphere {

SessionTiming sessionTimingFor(int timeoutSeconds) {
  const std::chrono::milliseconds limit = std::chrono::seconds(timeoutSeconds);
  return {limit, std::min<std::chrono::milliseconds>(limit, std::chrono::seconds(3))};
}

Session::Session(std::unique_ptr<Transport> transport, XmlReaderFactory makeReader,
                 SessionTiming timing)
    : transport_(std::move(transport)), makeReader_(std::move(makeReader)), timing_(timing),
      deadline_(Transport::Clock::now() + timing.limit) {}

Session::~Session() { release(); }

HttpAnswer Session::exchange(const std::string &envelope, Transport::Content content) {
  HttpAnswer answer = transport_->post(envelope, cookie_, content, deadline_);
  if (auto cookie = sessionCookieOf(answer.setCookies))
    cookie_ = std::move(*cookie);
  return answer;
}

void Session::login(const std::wstring &username, const std::wstring &password) {
  content_ = readServiceContent(exchange(retrieveServiceContentRequest()), makeReader_);
  login_ = Login::Uncertain;
  try {
    readAcknowledgement(exchange(loginRequest(content_.sessionManager, username, password),
                                 Transport::Content::Secret),
                        L"Login", makeReader_);
  } catch (const ServerFault &) {
    login_ = Login::None; // refused: the server keeps no session
    throw;
  }
  login_ = Login::Accepted;
}

const std::vector<NamedObject> &Session::machines() {
  if (!machines_)
    readMachines();
  return *machines_;
}

void Session::readMachines() {
  if (login_ != Login::Accepted)
    throw adapterError(L"Not connected to the server");
  view_ = readContainerView(
      exchange(createContainerViewRequest(content_.viewManager, content_.rootFolder)), makeReader_);
  std::vector<NamedObject> all;
  NamesPage page =
      readNamesPage(exchange(retrieveViewNamesRequest(content_.propertyCollector, *view_)),
                    L"RetrievePropertiesEx", makeReader_);
  std::size_t characters = 0;
  for (std::size_t pages = 1;; ++pages) {
    for (const NamedObject &machine : page.objects)
      characters += machine.name.size() + machine.object.value.size();
    if (all.size() + page.objects.size() > kMaxMachines || characters > kMaxListedCharacters)
      throw adapterError(L"The server lists more virtual machines than a check reads (" +
                         std::to_wstring(kMaxMachines) + L" machines, " +
                         std::to_wstring(kMaxListedCharacters) + L" characters of names)");
    std::move(page.objects.begin(), page.objects.end(), std::back_inserter(all));
    if (page.token.empty())
      break;
    if (pages == kMaxPages)
      throw adapterError(L"The server's listing did not end after " + std::to_wstring(kMaxPages) +
                         L" pages");
    page = readNamesPage(exchange(continueRetrieveRequest(content_.propertyCollector, page.token)),
                         L"ContinueRetrievePropertiesEx", makeReader_);
  }
  machines_ = std::move(all);
}

std::optional<MoRef> Session::machineNamed(const std::wstring &name) {
  for (const NamedObject &machine : machines())
    if (machine.name == name)
      return machine.object;
  return std::nullopt;
}

std::int32_t Session::executionState(const MoRef &machine) {
  return executionStateOf(readMachineRuntime(
      exchange(retrieveMachineStateRequest(content_.propertyCollector, machine)), makeReader_));
}

// The release's own budget starts now, whether the check's exchanges ended in time or ran
// out of it.
void Session::release() noexcept {
  const bool due = login_ != Login::None;
  login_ = Login::None;
  std::optional<MoRef> view = std::move(view_);
  view_.reset();
  if (!due)
    return;
  deadline_ = Transport::Clock::now() + timing_.releaseBudget;
  try {
    if (view)
      readAcknowledgement(exchange(destroyViewRequest(*view)), L"DestroyView", makeReader_);
  } catch (...) {
    // The session's logout below also ends the view.
  }
  try {
    readAcknowledgement(exchange(logoutRequest(content_.sessionManager)), L"Logout", makeReader_);
  } catch (...) {
    // Nothing more can be done; the server ends the session when it expires.
  }
}

} // namespace brennow::vmserver::vsphere
