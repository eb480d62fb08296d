#pragma once
// A PE file (program or DLL) of either bitness, read from its bytes: nothing of it is loaded or
// run, so a 64-bit program can look at a 32-bit build.
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace image {

struct Export {
  std::string name;
  DWORD ordinal = 0;
  bool inExecutableSection = false; // false also for a forwarder or a bad address
};

class PeImage {
public:
  // The file's headers and section table; nothing on failure, `error` saying why.
  static std::optional<PeImage> read(const std::wstring &path, std::string &error);

  WORD machine() const noexcept { return file_.Machine; }
  WORD characteristics() const noexcept { return file_.Characteristics; }
  WORD optionalHeaderMagic() const noexcept { return magic_; }
  WORD dllCharacteristics() const noexcept { return dllCharacteristics_; }
  WORD subsystem() const noexcept { return subsystem_; }
  // The data directory `index` (IMAGE_DIRECTORY_ENTRY_*); empty when the file has none.
  IMAGE_DATA_DIRECTORY directory(unsigned index) const noexcept;

  // The export table's named entries; `ok` false when the table cannot be read.
  std::vector<Export> exports(bool &ok) const;
  DWORD exportBase() const;
  DWORD exportedFunctionCount() const;
  // The libraries of the import table, in lower case, in table order.
  std::vector<std::string> importedLibraries(bool &ok) const;

private:
  std::vector<BYTE> bytes_;
  IMAGE_FILE_HEADER file_{};
  WORD magic_ = 0;
  WORD dllCharacteristics_ = 0;
  WORD subsystem_ = 0;
  std::vector<IMAGE_DATA_DIRECTORY> directories_;
  std::vector<IMAGE_SECTION_HEADER> sections_;

  bool readHeaders(std::string &error);
  template <typename Header> bool readOptionalHeader(size_t offset);
  const IMAGE_SECTION_HEADER *sectionOf(DWORD rva) const noexcept;
  std::optional<size_t> offsetOf(DWORD rva, size_t size) const noexcept;
  template <typename T> std::optional<T> at(DWORD rva) const;
  std::optional<IMAGE_EXPORT_DIRECTORY> exportDirectory() const;
  std::optional<std::string> text(DWORD rva) const;
};

} // namespace image
