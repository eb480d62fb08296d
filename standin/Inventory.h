#pragma once
// The stand-in server's world: hosts, their accounts, registered machines, the faults
// they are told to show and the delays of each operation. Read from a small line
// format (standin/README.md); knows nothing of COM.
#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace standin {

// The operations that can be slowed down or made to fail.
enum class Operation { connect, list, count, item, machineConnect, state };
inline constexpr std::size_t operationCount = 6;

// How a failing operation hands its description to the caller.
enum class FaultStyle { immediate, deferred, errorInfo };

struct Fault {
  FaultStyle style = FaultStyle::immediate;
  std::uint32_t code = 0; // failing HRESULT, as its bit pattern
  std::wstring description;
};

// Milliseconds to wait before an operation answers: the general delay plus the
// operation's own.
struct Delays {
  std::uint32_t everyOperationMs = 0;
  std::array<std::uint32_t, operationCount> operationMs{};

  std::uint64_t totalMs(Operation operation) const {
    return std::uint64_t{everyOperationMs} + operationMs[static_cast<std::size_t>(operation)];
  }
};

struct Machine {
  std::wstring name;
  std::int32_t state = 0;
  std::optional<Fault> connectFault;
  std::optional<Fault> stateFault;
};

struct Host {
  std::wstring name;
  std::wstring user;
  std::wstring password;
  std::vector<Machine> machines;
  std::optional<Fault> connectFault;
  std::optional<Fault> listFault;
  std::optional<Fault> countFault;
  std::map<std::int32_t, Fault> itemFaults; // by 1-based item index
  Delays delays;                            // on top of the inventory's own
};

struct Inventory {
  std::vector<Host> hosts;
  Delays delays; // for every host, known or not

  // Total wait before `operation` answers on `host` (null for an unknown host).
  std::uint64_t delayMs(Operation operation, const Host *host) const;
  const Host *findHost(std::wstring_view name) const;
};

// A line of the inventory that cannot be understood.
class InventoryError : public std::exception {
public:
  InventoryError(std::size_t line, std::wstring message)
      : line_(line), message_(std::move(message)) {}
  const char *what() const noexcept override { return "malformed stand-in inventory"; }
  std::size_t line() const noexcept { return line_; }
  const std::wstring &message() const noexcept { return message_; }

private:
  std::size_t line_;
  std::wstring message_;
};

// Parses the whole inventory text (already decoded from UTF-8). Throws InventoryError.
Inventory parseInventory(std::wstring_view text);

} // namespace standin
