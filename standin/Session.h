#pragma once
// What the stand-in server answers to each operation, decided from the inventory
// alone: logging in, listing, reading items, finding and reading a machine.
#include "standin/Inventory.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

namespace standin {

// The codes of the stand-in's own failures; inventory faults may name others.
namespace faultCode {
inline constexpr std::uint32_t connect = 0x80040001;
inline constexpr std::uint32_t list = 0x80040002;
inline constexpr std::uint32_t count = 0x80040003;
inline constexpr std::uint32_t item = 0x80040004;
inline constexpr std::uint32_t machineConnect = 0x80040005;
inline constexpr std::uint32_t state = 0x80040006;
inline constexpr std::uint32_t unknownHost = 0x80040010;
inline constexpr std::uint32_t badCredentials = 0x80040011;
inline constexpr std::uint32_t machineNotFound = 0x80040012;
inline constexpr std::uint32_t notConnected = 0x80040013;
inline constexpr std::uint32_t indexOutOfRange = 0x80040014;
inline constexpr std::uint32_t inventory = 0x80040015;
} // namespace faultCode

// The code an inventory fault line gets when it names none.
std::uint32_t defaultFaultCode(Operation operation);

struct Credentials {
  std::wstring host;
  std::wstring user;
  std::wstring password;
};

// A successful login: the host within the inventory read for it, kept alive by
// every object that was handed the session.
struct Session {
  std::shared_ptr<const Inventory> inventory;
  const Host *host = nullptr;
};

template <typename T> using Outcome = std::variant<T, Fault>;

// Finds the host and checks the account; the host's own connect fault applies afterwards.
Outcome<Session> logIn(std::shared_ptr<const Inventory> inventory, const Credentials &credentials);

// Item `index` (1-based) of the host's registered machines, or its fault.
Outcome<std::wstring> itemAt(const Host &host, std::int32_t index);

// The first registered machine of that exact name, unless it refuses connections.
Outcome<const Machine *> connectMachine(const Host &host, std::wstring_view name);

// Failures that do not come from an inventory fault line.
Fault immediateFault(std::uint32_t code, std::wstring description);

} // namespace standin
