#pragma once
// Where the web service is: qm_hostname as "name", "name:port" or a URL
// "https://name[:port][/path]"; plain http only when "http://" is written out.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brennow::vmserver::vsphere {

struct Endpoint {
  bool secure = true;
  std::wstring host; // without brackets for an IPv6 address
  std::uint16_t port = 443;
  std::wstring path = L"/sdk";

  std::wstring url() const;
  bool operator==(const Endpoint &) const = default;
};

// Throws AutomationError with a description of what is wrong with the text.
Endpoint endpointOf(std::wstring_view hostText);

// qm_timeout as seconds: a positive whole number (blanks around it allowed), else 60.
int timeoutSecondsOf(std::wstring_view timeoutText);

// A SHA-256 thumbprint as 64 upper-case hex digits; colons, blanks and letter case of
// the text are ignored. No value when it is not 64 hex digits.
std::optional<std::wstring> normalizedThumbprint(std::wstring_view text);

// Digest bytes as upper-case hex without separators.
std::wstring thumbprintText(const std::uint8_t *digest, std::size_t size);

} // namespace brennow::vmserver::vsphere
