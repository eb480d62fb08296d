#include "vmserver/vsphere/Endpoint.h"

#include "vmserver/vsphere/Errors.h"

namespace brennow::vmserver::vsphere {
namespace {

constexpr int kDefaultTimeoutSeconds = 60;
// The longest wait that still fits the transport's millisecond counters.
constexpr long long kMaxTimeoutSeconds = 2'147'483;

std::wstring_view trimBlanks(std::wstring_view text) {
  while (!text.empty() && (text.front() == L' ' || text.front() == L'\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == L' ' || text.back() == L'\t'))
    text.remove_suffix(1);
  return text;
}

bool startsWithNoCase(std::wstring_view text, std::wstring_view prefix) {
  if (text.size() < prefix.size())
    return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if ((text[i] >= L'A' && text[i] <= L'Z' ? text[i] + (L'a' - L'A') : text[i]) != prefix[i])
      return false;
  return true;
}

bool isDigits(std::wstring_view text) {
  if (text.empty())
    return false;
  for (wchar_t c : text)
    if (c < L'0' || c > L'9')
      return false;
  return true;
}

[[noreturn]] void refuse(std::wstring_view hostText, const std::wstring &why) {
  throw adapterError(L"The server address (" + std::wstring(hostText) + L") " + why);
}

std::uint16_t portOf(std::wstring_view hostText, std::wstring_view digits) {
  long value = 0;
  if (isDigits(digits) && digits.size() <= 5) {
    for (wchar_t c : digits)
      value = value * 10 + (c - L'0');
  }
  if (value < 1 || value > 65535)
    refuse(hostText, L"has no port number from 1 to 65535");
  return static_cast<std::uint16_t>(value);
}

bool isHexDigit(wchar_t c) {
  return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

bool isHostCharacter(wchar_t c) {
  return c > L' ' && c != L'/' && c != L'@' && c != L'?' && c != L'#' && c != L'[' && c != L']' &&
         c != L'\\' && c != L':';
}

// "name", "name:port", "[v6]" or "[v6]:port" into the endpoint.
void readAuthority(std::wstring_view hostText, std::wstring_view authority, Endpoint &endpoint) {
  std::wstring_view host = authority;
  std::wstring_view rest;
  if (authority.starts_with(L'[')) {
    const auto close = authority.find(L']');
    if (close == std::wstring_view::npos || close == 1)
      refuse(hostText, L"has an unclosed or empty IPv6 address");
    host = authority.substr(1, close - 1);
    for (wchar_t c : host)
      if (!isHexDigit(c) && c != L':' && c != L'.')
        refuse(hostText, L"has an invalid IPv6 address");
    rest = authority.substr(close + 1);
    if (!rest.empty() && !rest.starts_with(L':'))
      refuse(hostText, L"has text after the IPv6 address");
  } else if (const auto colon = authority.find(L':'); colon != std::wstring_view::npos) {
    host = authority.substr(0, colon);
    rest = authority.substr(colon);
  }
  if (!rest.empty())
    endpoint.port = portOf(hostText, rest.substr(1));
  if (host.empty())
    refuse(hostText, L"has no server name");
  if (!authority.starts_with(L'['))
    for (wchar_t c : host)
      if (!isHostCharacter(c))
        refuse(hostText, L"is not a server name, name:port or https:// address");
  endpoint.host = host;
}

} // namespace

std::wstring Endpoint::url() const {
  const bool v6 = host.find(L':') != std::wstring::npos;
  const bool defaultPort = port == (secure ? 443 : 80);
  return (secure ? L"https://" : L"http://") + (v6 ? L"[" + host + L"]" : host) +
         (defaultPort ? L"" : L":" + std::to_wstring(port)) + path;
}

Endpoint endpointOf(std::wstring_view hostText) {
  const std::wstring_view text = trimBlanks(hostText);
  Endpoint endpoint;
  std::wstring_view rest = text;
  if (startsWithNoCase(text, L"https://")) {
    rest.remove_prefix(8);
  } else if (startsWithNoCase(text, L"http://")) {
    rest.remove_prefix(7);
    endpoint.secure = false;
    endpoint.port = 80;
  } else if (text.find(L"://") != std::wstring_view::npos) {
    refuse(hostText, L"names a scheme other than https:// or http://");
  }
  const auto slash = rest.find(L'/');
  const std::wstring_view path = slash == std::wstring_view::npos ? L"" : rest.substr(slash);
  if (path.size() > 1) {
    for (wchar_t c : path)
      if (c <= L' ' || c == L'#' || c == L'?')
        refuse(hostText, L"has a path with blanks, '?' or '#'");
    endpoint.path = path;
  }
  readAuthority(hostText, rest.substr(0, slash), endpoint);
  return endpoint;
}

int timeoutSecondsOf(std::wstring_view timeoutText) {
  const std::wstring_view text = trimBlanks(timeoutText);
  if (!isDigits(text))
    return kDefaultTimeoutSeconds;
  long long value = 0;
  for (wchar_t c : text) {
    value = value * 10 + (c - L'0');
    if (value > kMaxTimeoutSeconds)
      return static_cast<int>(kMaxTimeoutSeconds);
  }
  return value == 0 ? kDefaultTimeoutSeconds : static_cast<int>(value);
}

std::optional<std::wstring> normalizedThumbprint(std::wstring_view text) {
  std::wstring digits;
  for (wchar_t c : text) {
    if (c == L':' || c == L' ' || c == L'\t')
      continue;
    if (!isHexDigit(c) || digits.size() == 64)
      return std::nullopt;
    digits.push_back(c >= L'a' ? static_cast<wchar_t>(c - L'a' + L'A') : c);
  }
  if (digits.size() != 64)
    return std::nullopt;
  return digits;
}

std::wstring thumbprintText(const std::uint8_t *digest, std::size_t size) {
  constexpr wchar_t kHex[] = L"0123456789ABCDEF";
  std::wstring text;
  text.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    text.push_back(kHex[digest[i] >> 4]);
    text.push_back(kHex[digest[i] & 0xF]);
  }
  return text;
}

} // namespace brennow::vmserver::vsphere
