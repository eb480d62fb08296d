#pragma once
// One logged-in session with the web service: the exchanges of a check, and the release
// (DestroyView, Logout) that ends every session, on every path.
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

class Session {
public:
  Session(std::unique_ptr<Transport> transport, XmlReaderFactory makeReader);
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
  HttpAnswer exchange(const std::string &envelope,
                      Transport::Content content = Transport::Content::Plain);
  void readMachines();

  std::unique_ptr<Transport> transport_;
  XmlReaderFactory makeReader_;
  std::string cookie_;
  ServiceContent content_;
  bool loggedIn_ = false;
  bool unreachable_ = false; // an exchange timed out: releasing would wait again
  std::optional<MoRef> view_;
  std::optional<std::vector<NamedObject>> machines_;
};

} // namespace brennow::vmserver::vsphere
