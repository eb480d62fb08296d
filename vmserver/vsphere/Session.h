#pragma once
// One logged-in session with the web service, as a property-collector client: "these
// properties of every object of this type" (through a container view) or "of these objects",
// paging, limits and the view's lifetime inside. All exchanges of a check end by one
// deadline; the release (views destroyed, Logout) ends every session, on every path, with a
// short budget of its own.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "vmserver/vsphere/Answers.h"
#include "vmserver/vsphere/Transport.h"
#include "vmserver/vsphere/XmlReader.h"

namespace brennow::vmserver::vsphere {

// The most objects, and the most characters all answers together, one check reads.
inline constexpr std::size_t kMaxObjects = 1'000'000;
inline constexpr std::size_t kMaxKeptCharacters = 16u << 20;

// What a session may spend: its exchanges end by the time limit counted from its start;
// the release then has a budget of its own, so that a slow server still sees the session
// ended and a dead one costs no more than that.
struct SessionTiming {
  std::chrono::milliseconds limit{60'000};
  std::chrono::milliseconds releaseBudget{3'000};
};

// The timing of a check with `timeoutSeconds`: the release gets 3 s, never more than the
// check itself.
SessionTiming sessionTimingFor(int timeoutSeconds);

class Session {
public:
  Session(std::unique_ptr<Transport> transport, XmlReaderFactory makeReader,
          SessionTiming timing = {});
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;
  // Releases what this session still holds on the server; never throws.
  ~Session();

  // RetrieveServiceContent, then Login. Texts that cannot be sent are refused first.
  void login(const std::wstring &username, const std::wstring &password);

  // `properties.paths` of every object of `properties.type` under the root folder, in the
  // server's order, handed to `take` one at a time as each answer streams by.
  void retrieveAll(const PropertySet &properties, const ObjectConsumer &take);

  // The paths of `properties` (one set per type) of exactly `objects`.
  void retrieveObjects(std::span<const MoRef> objects, std::span<const PropertySet> properties,
                       const ObjectConsumer &take);

  // What the server reported at the login: its root folder and managers.
  const ServiceContent &content() const { return content_; }

  // The server's clock: seconds since 1970-01-01T00:00:00Z.
  std::int64_t currentTime();

  // Logout when it is due (the session's views end with it), errors ignored; a second call
  // does nothing.
  void release() noexcept;

private:
  // Whether the server holds a session for this client: a login refused with a fault
  // leaves none, one whose answer did not come back may have.
  enum class Login { None, Uncertain, Accepted };

  HttpAnswer exchange(const std::string &envelope,
                      Transport::Content content = Transport::Content::Plain);
  void requireLoggedIn() const;
  // Reads the answer to a first RetrievePropertiesEx and every page after it.
  void readPages(const HttpAnswer &first, std::wstring_view listed, const ValueShape &shape,
                 const ObjectConsumer &take);
  void destroyView(const MoRef &view);

  std::unique_ptr<Transport> transport_;
  XmlReaderFactory makeReader_;
  SessionTiming timing_;
  Transport::Clock::time_point deadline_;
  std::string cookie_;
  ServiceContent content_;
  Login login_ = Login::None;
  CharacterBudget budget_{kMaxKeptCharacters};
  std::size_t objects_ = 0;
};

} // namespace brennow::vmserver::vsphere
