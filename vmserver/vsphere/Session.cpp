#include "vmserver/vsphere/Session.h"

#include <algorithm>
#include <unordered_set>

#include "vmserver/vsphere/Envelopes.h"
#include "vmserver/vsphere/Errors.h"

namespace brennow::vmserver::vsphere {
namespace {

// What a listing of that type is of, as its limit message names it.
std::wstring_view listedNoun(std::wstring_view type) {
  if (type == type::VirtualMachine)
    return L"virtual machines";
  if (type == type::Datastore)
    return L"datastores";
  if (type == type::HostSystem)
    return L"hosts";
  return L"objects";
}

[[noreturn]] void tooMuch(std::wstring_view listed) {
  throw adapterError(L"The server lists more " + std::wstring(listed) + L" than a check reads (" +
                     std::to_wstring(kMaxObjects) + L" objects, " +
                     std::to_wstring(kMaxKeptCharacters) + L" characters)");
}

} // namespace

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
  requireSendable(username, L"The user name");
  requireSendable(password, L"The password");
  content_ = readServiceContent(exchange(retrieveServiceContentRequest()), makeReader_);
  login_ = Login::Uncertain;
  try {
    readAcknowledgement(exchange(loginRequest(content_.sessionManager, username, password),
                                 Transport::Content::Secret),
                        op::Login, makeReader_);
  } catch (const ServerFault &) {
    login_ = Login::None; // refused: the server keeps no session
    throw;
  }
  login_ = Login::Accepted;
}

void Session::requireLoggedIn() const {
  if (login_ != Login::Accepted)
    throw adapterError(L"Not connected to the server");
}

void Session::retrieveAll(const PropertySet &properties, const ObjectConsumer &take) {
  requireLoggedIn();
  const MoRef view =
      readContainerView(exchange(createContainerViewRequest(content_.viewManager,
                                                            content_.rootFolder, properties.type)),
                        makeReader_);
  readPages(exchange(retrieveViewRequest(content_.propertyCollector, view, properties)),
            listedNoun(properties.type), {properties.scalarsOnly, properties.skippedFields}, take);
  // A listing that failed leaves its view to the session's end.
  destroyView(view);
}

void Session::retrieveObjects(std::span<const MoRef> objects,
                              std::span<const PropertySet> properties, const ObjectConsumer &take) {
  requireLoggedIn();
  const bool scalarsOnly = std::all_of(properties.begin(), properties.end(),
                                       [](const PropertySet &set) { return set.scalarsOnly; });
  readPages(exchange(retrieveObjectsRequest(content_.propertyCollector, objects, properties)),
            listedNoun(properties.empty() ? std::wstring_view() : properties[0].type),
            {scalarsOnly, {}}, take);
}

// Pages end with the one without a token. A token seen before, or a page without objects that
// is not the last, would have the listing go round for as long as the server likes.
void Session::readPages(const HttpAnswer &first, std::wstring_view listed, const ValueShape &shape,
                        const ObjectConsumer &take) {
  try {
    RetrievedPage page =
        readRetrievedPage(first, op::RetrievePropertiesEx, makeReader_, budget_, take, shape);
    std::unordered_set<std::wstring> tokens;
    for (;;) {
      objects_ += page.objects;
      if (objects_ > kMaxObjects)
        tooMuch(listed);
      if (page.token.empty())
        return;
      if (page.objects == 0)
        throw adapterError(L"The server's listing sent a page without objects that is not the "
                           L"last");
      if (page.token.size() > budget_.left)
        tooMuch(listed);
      budget_.left -= page.token.size();
      if (!tokens.insert(page.token).second)
        throw adapterError(L"The server's listing repeats the token of an earlier page");
      page = readRetrievedPage(
          exchange(continueRetrieveRequest(content_.propertyCollector, page.token)),
          op::ContinueRetrievePropertiesEx, makeReader_, budget_, take, shape);
    }
  } catch (const TooMuchToKeep &) {
    tooMuch(listed);
  }
}

std::int64_t Session::currentTime() {
  requireLoggedIn();
  const std::wstring text = readCurrentTime(exchange(currentTimeRequest()), makeReader_);
  const auto seconds = dateTimeOf(text);
  if (!seconds)
    throw adapterError(L"The server reported its time in a form that is not a date and time (" +
                       text + L")");
  return *seconds;
}

// A view that cannot be destroyed ends with the session; only the time running out ends the
// check here, at the listing that used the view.
void Session::destroyView(const MoRef &view) {
  try {
    readAcknowledgement(exchange(destroyViewRequest(view)), op::DestroyView, makeReader_);
  } catch (const TransportError &error) {
    if (error.failure() == TransportFailure::TimedOut)
      throw;
  } catch (const AutomationError &) {
  }
}

// The release's own budget starts now, whether the check's exchanges ended in time or ran
// out of it, and goes to the Logout alone: a session's views end with it, and a slow
// DestroyView must not leave the session taken.
void Session::release() noexcept {
  const bool due = login_ != Login::None;
  login_ = Login::None;
  if (!due)
    return;
  deadline_ = Transport::Clock::now() + timing_.releaseBudget;
  try {
    readAcknowledgement(exchange(logoutRequest(content_.sessionManager)), op::Logout, makeReader_);
  } catch (...) {
    // Nothing more can be done; the server ends the session when it expires.
  }
}

} // namespace brennow::vmserver::vsphere
