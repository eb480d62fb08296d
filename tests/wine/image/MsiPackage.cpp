#include "tests/wine/image/MsiPackage.h"

#include <wtypes.h>

namespace image {

MsiHandle &MsiHandle::operator=(MsiHandle &&other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.handle_;
    other.handle_ = 0;
  }
  return *this;
}

MSIHANDLE *MsiHandle::out() noexcept {
  close();
  return &handle_;
}

void MsiHandle::close() noexcept {
  if (handle_)
    MsiCloseHandle(handle_);
  handle_ = 0;
}

namespace {

std::wstring fieldText(MSIHANDLE record, UINT field) {
  if (MsiRecordIsNull(record, field))
    return {};
  DWORD size = 0;
  wchar_t empty[1] = {};
  if (MsiRecordGetStringW(record, field, empty, &size) != ERROR_MORE_DATA)
    return {};
  std::wstring text(size + 1, L'\0');
  ++size;
  MsiRecordGetStringW(record, field, text.data(), &size);
  text.resize(size);
  return text;
}

} // namespace

std::optional<MsiPackage> MsiPackage::open(const std::wstring &path, std::string &error) {
  MsiPackage package;
  const UINT status = MsiOpenDatabaseW(path.c_str(), MSIDBOPEN_READONLY, package.database_.out());
  if (status != ERROR_SUCCESS) {
    error = "MsiOpenDatabase failed with " + std::to_string(status);
    return std::nullopt;
  }
  return package;
}

std::optional<std::vector<Row>> MsiPackage::rows(const std::wstring &query) const {
  MsiHandle view;
  if (MsiDatabaseOpenViewW(database_.get(), query.c_str(), view.out()) != ERROR_SUCCESS ||
      MsiViewExecute(view.get(), 0) != ERROR_SUCCESS)
    return std::nullopt;
  std::vector<Row> found;
  for (;;) {
    MsiHandle record;
    const UINT status = MsiViewFetch(view.get(), record.out());
    if (status == ERROR_NO_MORE_ITEMS)
      return found;
    if (status != ERROR_SUCCESS)
      return std::nullopt;
    Row row;
    const UINT fields = MsiRecordGetFieldCount(record.get());
    for (UINT field = 1; field <= fields; ++field)
      row.push_back(fieldText(record.get(), field));
    found.push_back(std::move(row));
  }
}

std::wstring MsiPackage::summary(UINT property) const {
  MsiHandle info;
  if (MsiGetSummaryInformationW(database_.get(), nullptr, 0, info.out()) != ERROR_SUCCESS)
    return {};
  UINT type = 0;
  INT number = 0;
  FILETIME time{};
  wchar_t text[256] = {};
  DWORD size = std::size(text);
  if (MsiSummaryInfoGetPropertyW(info.get(), property, &type, &number, &time, text, &size) !=
      ERROR_SUCCESS)
    return {};
  return type == VT_LPSTR ? std::wstring(text, size) : std::to_wstring(number);
}

} // namespace image
