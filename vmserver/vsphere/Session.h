#pragma once
// One logged-in session with the web service: the exchanges of a check, all ended by one
// deadline, and the release (DestroyView, Logout) that ends every session, on every path,
// with a short budget of its own.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vmserver/vsphere/Answers.h"
#include "vmserver/vsphere/Transport.h"
#include "vmserver/vsphere/XmlReader.h"

namespace brennow::vmserver::vsphere {

// The most machines one listing keeps, and the most pages it asks for.
inline constexpr std::size_t kMaxMachines = 1'000'000;
// The most characters all listed names may hold together.
inline constexpr std::size_t kMaxListedCharacters = 16u << 20;
inline constexpr std::size_t kMaxPages = 100'000;

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

  // RetrieveServiceContent, then Login.
  void login(const std::wstring &username, const std::wstring &password);

  // Every VirtualMachine under the root folder in the server's order; read on first use.
  const std::vector<NamedObject> &machines();

  // The first machine of that name; no value when there is none.
  std::optional<MoRef> machineNamed(const std::wstring &name);

  // The execution state code of one machine, read now.
  std::int32_t executionState(const MoRef &machine);

  // DestroyView and Logout when they are due, errors ignored; a second call does nothing.
  void release() noexcept;

private:
  // Whether the server holds a session for this client: a login refused with a fault
  // leaves none, one whose answer did not come back may have.
  enum class Login { None, Uncertain, Accepted };

  HttpAnswer exchange(const std::string &envelope,
                      Transport::Content content = Transport::Content::Plain);
  void readMachines();

  std::unique_ptr<Transport> transport_;
  XmlReaderFactory makeReader_;
  SessionTiming timing_;
  Transport::Clock::time_point deadline_;
  std::string cookie_;
  ServiceContent content_;
  Login login_ = Login::None;
  std::optional<MoRef> view_;
  std::optional<std::vector<NamedObject>> machines_;
};

} // namespace brennow::vmserver::vsphere
