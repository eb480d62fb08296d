#pragma once
// The component's own version numbers, read from the version resource of the module
// that holds this code.
#include <cstdint>

namespace brennow::dialogs {

struct ModuleVersion {
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  std::uint16_t revision = 0;
};

// The file version of the version resource (major.minor.build.revision); all zero
// when the module has no version resource.
ModuleVersion moduleVersion();

} // namespace brennow::dialogs
