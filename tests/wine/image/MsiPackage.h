#pragma once
// A Windows Installer package's tables and summary information, read with the system's msi.dll
// (nothing is installed).
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <optional>
#include <string>
#include <vector>

namespace image {

// Owns one MSIHANDLE.
class MsiHandle {
public:
  MsiHandle() noexcept = default;
  MsiHandle(const MsiHandle &) = delete;
  MsiHandle &operator=(const MsiHandle &) = delete;
  MsiHandle(MsiHandle &&other) noexcept : handle_(other.handle_) { other.handle_ = 0; }
  MsiHandle &operator=(MsiHandle &&other) noexcept;
  ~MsiHandle() { close(); }

  MSIHANDLE get() const noexcept { return handle_; }
  MSIHANDLE *out() noexcept; // closes the current handle first

private:
  void close() noexcept;
  MSIHANDLE handle_ = 0;
};

// One row: every field as text ("" for a null field).
using Row = std::vector<std::wstring>;

class MsiPackage {
public:
  // The package opened read-only; nothing on failure, `error` saying why.
  static std::optional<MsiPackage> open(const std::wstring &path, std::string &error);

  // The rows a SELECT gives, in the order it gives them; nothing when it fails.
  std::optional<std::vector<Row>> rows(const std::wstring &query) const;
  // A string of the summary information (PID_*), "" when it has none.
  std::wstring summary(UINT property) const;

private:
  MsiHandle database_;
};

} // namespace image
