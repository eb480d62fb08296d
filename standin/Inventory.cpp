#include "standin/Inventory.h"

#include "standin/Session.h"

#include <algorithm>
#include <limits>

namespace standin {

namespace {

struct OperationName {
  std::wstring_view name;
  Operation operation;
};

constexpr std::array<OperationName, operationCount> operationNames{{
    {L"connect", Operation::connect},
    {L"list", Operation::list},
    {L"count", Operation::count},
    {L"item", Operation::item},
    {L"machine-connect", Operation::machineConnect},
    {L"state", Operation::state},
}};

struct StyleName {
  std::wstring_view name;
  FaultStyle style;
};

constexpr std::array<StyleName, 3> styleNames{{
    {L"immediate", FaultStyle::immediate},
    {L"deferred", FaultStyle::deferred},
    {L"errorinfo", FaultStyle::errorInfo},
}};

std::optional<Operation> operationNamed(std::wstring_view name) {
  for (const auto &entry : operationNames) {
    if (entry.name == name)
      return entry.operation;
  }
  return std::nullopt;
}

std::optional<FaultStyle> styleNamed(std::wstring_view name) {
  for (const auto &entry : styleNames) {
    if (entry.name == name)
      return entry.style;
  }
  return std::nullopt;
}

bool isDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

std::optional<unsigned> hexDigitValue(wchar_t c) {
  if (isDigit(c))
    return static_cast<unsigned>(c - L'0');
  if (c >= L'a' && c <= L'f')
    return static_cast<unsigned>(c - L'a' + 10);
  if (c >= L'A' && c <= L'F')
    return static_cast<unsigned>(c - L'A' + 10);
  return std::nullopt;
}

// Plain decimal digits, at most what fits in 32 bits unsigned.
std::optional<std::uint32_t> parseDecimal(std::wstring_view text) {
  if (text.empty() || text.size() > 10)
    return std::nullopt;
  std::uint64_t value = 0;
  for (wchar_t c : text) {
    if (!isDigit(c))
      return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - L'0');
  }
  if (value > std::numeric_limits<std::uint32_t>::max())
    return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

// "0x" and one to eight hexadecimal digits.
std::optional<std::uint32_t> parseHex(std::wstring_view text) {
  if (text.size() < 3 || text.size() > 10 || text[0] != L'0' ||
      (text[1] != L'x' && text[1] != L'X'))
    return std::nullopt;
  std::uint32_t value = 0;
  for (wchar_t c : text.substr(2)) {
    const auto digit = hexDigitValue(c);
    if (!digit)
      return std::nullopt;
    value = value * 16 + *digit;
  }
  return value;
}

// A 32-bit code: signed decimal, or hexadecimal taken as its bit pattern.
std::optional<std::int32_t> parseStateCode(std::wstring_view text) {
  if (const auto hex = parseHex(text))
    return static_cast<std::int32_t>(*hex);
  const bool negative = !text.empty() && text.front() == L'-';
  const auto magnitude = parseDecimal(negative ? text.substr(1) : text);
  if (!magnitude)
    return std::nullopt;
  const std::int64_t value = negative ? -static_cast<std::int64_t>(*magnitude) : *magnitude;
  if (value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max())
    return std::nullopt;
  return static_cast<std::int32_t>(value);
}

// One line taken apart: tokens end at a single blank; the free text at the end of a
// line is everything after the blank that closes the last token, kept as it stands.
class LineReader {
public:
  LineReader(std::size_t number, std::wstring_view text) : number_(number), rest_(text) {}

  std::wstring_view token() {
    const auto end = std::min(rest_.find(L' '), rest_.size());
    const auto token = rest_.substr(0, end);
    rest_.remove_prefix(std::min(end + 1, rest_.size()));
    return token;
  }

  std::wstring_view freeText() {
    const auto text = rest_;
    rest_ = {};
    return text;
  }

  [[noreturn]] void fail(std::wstring message) const { throw InventoryError(number_, message); }

  void expectEnd() {
    if (!rest_.empty())
      fail(L"unexpected text after the last value");
  }

private:
  std::size_t number_;
  std::wstring_view rest_;
};

std::wstring quoted(std::wstring_view text) { return L"\"" + std::wstring(text) + L"\""; }

class Parser {
public:
  Inventory finish() { return std::move(inventory_); }

  void parseLine(LineReader line) {
    const auto keyword = line.token();
    if (keyword == L"host")
      return addHost(line);
    if (keyword == L"user")
      return setAccount(line, user_given_, &Host::user, L"user");
    if (keyword == L"password")
      return setAccount(line, password_given_, &Host::password, L"password");
    if (keyword == L"machine")
      return addMachine(line);
    if (keyword == L"fault")
      return addFault(line);
    if (keyword == L"delay")
      return addDelay(line);
    line.fail(L"unknown keyword " + quoted(keyword));
  }

private:
  Host &currentHost(const LineReader &line) {
    if (inventory_.hosts.empty())
      line.fail(L"a host line must come first");
    return inventory_.hosts.back();
  }

  Machine &currentMachine(const LineReader &line) {
    auto &host = currentHost(line);
    if (host.machines.empty())
      line.fail(L"a machine fault must follow its machine line");
    return host.machines.back();
  }

  void addHost(LineReader &line) {
    const auto name = line.freeText();
    if (inventory_.findHost(name))
      line.fail(L"host " + quoted(name) + L" is listed twice");
    Host host;
    host.name = name;
    inventory_.hosts.push_back(std::move(host));
    user_given_ = password_given_ = false;
  }

  void setAccount(LineReader &line, bool &given, std::wstring Host::*field,
                  std::wstring_view keyword) {
    auto &host = currentHost(line);
    if (given)
      line.fail(std::wstring(keyword) + L" is given twice for host " + quoted(host.name));
    given = true;
    host.*field = line.freeText();
  }

  void addMachine(LineReader &line) {
    auto &host = currentHost(line);
    const auto state = parseStateCode(line.token());
    if (!state)
      line.fail(L"a machine line needs a 32-bit state code before the name");
    Machine machine;
    machine.name = line.freeText();
    machine.state = *state;
    host.machines.push_back(std::move(machine));
  }

  void addFault(LineReader &line) {
    const auto operationText = line.token();
    const auto operation = operationNamed(operationText);
    if (!operation)
      line.fail(L"unknown fault " + quoted(operationText));
    if (*operation == Operation::item)
      return addItemFault(line);
    auto &slot = faultSlot(line, *operation);
    if (slot)
      line.fail(L"fault " + quoted(operationText) + L" is given twice for the same target");
    slot = parseFault(line, *operation);
  }

  void addItemFault(LineReader &line) {
    auto &host = currentHost(line);
    const auto index = parseDecimal(line.token());
    if (!index || *index < 1 || *index > std::numeric_limits<std::int32_t>::max())
      line.fail(L"an item fault needs a 1-based index");
    const auto key = static_cast<std::int32_t>(*index);
    if (!host.itemFaults.emplace(key, parseFault(line, Operation::item)).second)
      line.fail(L"fault \"item\" is given twice for the same index");
  }

  std::optional<Fault> &faultSlot(const LineReader &line, Operation operation) {
    switch (operation) {
    case Operation::connect:
      return currentHost(line).connectFault;
    case Operation::list:
      return currentHost(line).listFault;
    case Operation::count:
      return currentHost(line).countFault;
    case Operation::machineConnect:
      return currentMachine(line).connectFault;
    case Operation::state:
      return currentMachine(line).stateFault;
    case Operation::item:
      break;
    }
    line.fail(L"item faults are kept per index");
  }

  static Fault parseFault(LineReader &line, Operation operation) {
    const auto styleText = line.token();
    const auto colon = styleText.find(L':');
    const auto style = styleNamed(styleText.substr(0, colon));
    if (!style)
      line.fail(L"unknown fault style " + quoted(styleText.substr(0, colon)) +
                L" (immediate, deferred or errorinfo)");
    auto code = defaultFaultCode(operation);
    if (colon != std::wstring_view::npos) {
      const auto given = parseHex(styleText.substr(colon + 1));
      if (!given || (*given & 0x80000000u) == 0)
        line.fail(L"a fault code must be a failing HRESULT written as 0x........");
      code = *given;
    }
    return Fault{.style = *style, .code = code, .description = std::wstring(line.freeText())};
  }

  // Delay lines before the first host apply to all hosts; later ones to their host.
  void addDelay(LineReader &line) {
    auto &delays = inventory_.hosts.empty() ? inventory_.delays : inventory_.hosts.back().delays;
    const auto first = line.token();
    if (const auto every = parseDecimal(first)) {
      line.expectEnd();
      delays.everyOperationMs += *every;
      return;
    }
    const auto operation = operationNamed(first);
    if (!operation)
      line.fail(L"unknown delayed operation " + quoted(first));
    const auto ms = parseDecimal(line.token());
    if (!ms)
      line.fail(L"a delay needs a number of milliseconds");
    line.expectEnd();
    delays.operationMs[static_cast<std::size_t>(*operation)] += *ms;
  }

private:
  Inventory inventory_;
  bool user_given_ = false;
  bool password_given_ = false;
};

std::wstring_view withoutByteOrderMark(std::wstring_view text) {
  if (!text.empty() && text.front() == L'\xFEFF')
    text.remove_prefix(1);
  return text;
}

std::wstring_view withoutIndent(std::wstring_view line) {
  const auto start = line.find_first_not_of(L" \t");
  return start == std::wstring_view::npos ? std::wstring_view{} : line.substr(start);
}

std::wstring_view withoutCarriageReturn(std::wstring_view line) {
  if (!line.empty() && line.back() == L'\r')
    line.remove_suffix(1);
  return line;
}

} // namespace

std::uint64_t Inventory::delayMs(Operation operation, const Host *host) const {
  return delays.totalMs(operation) + (host ? host->delays.totalMs(operation) : 0);
}

const Host *Inventory::findHost(std::wstring_view name) const {
  const auto found =
      std::find_if(hosts.begin(), hosts.end(), [&](const Host &host) { return host.name == name; });
  return found == hosts.end() ? nullptr : &*found;
}

Inventory parseInventory(std::wstring_view text) {
  Parser parser;
  text = withoutByteOrderMark(text);
  std::size_t number = 0;
  while (!text.empty()) {
    const auto end = std::min(text.find(L'\n'), text.size());
    const auto line = withoutIndent(withoutCarriageReturn(text.substr(0, end)));
    text.remove_prefix(std::min(end + 1, text.size()));
    ++number;
    if (line.empty() || line.front() == L'#')
      continue;
    parser.parseLine(LineReader(number, line));
  }
  return parser.finish();
}

} // namespace standin
