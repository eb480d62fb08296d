#include "tests/wine/image/PeImage.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace image {

namespace {

// A copy of the T at `offset`, if the bytes hold one there (no alignment assumed).
template <typename T> std::optional<T> copyAt(const std::vector<BYTE> &bytes, size_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < sizeof(T))
    return std::nullopt;
  T value;
  std::memcpy(&value, bytes.data() + offset, sizeof(T));
  return value;
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

} // namespace

std::optional<PeImage> PeImage::read(const std::wstring &path, std::string &error) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  if (!in) {
    error = "cannot be opened";
    return std::nullopt;
  }
  PeImage file;
  file.bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (!file.readHeaders(error))
    return std::nullopt;
  return file;
}

bool PeImage::readHeaders(std::string &error) {
  const auto dos = copyAt<IMAGE_DOS_HEADER>(bytes_, 0);
  if (!dos || dos->e_magic != IMAGE_DOS_SIGNATURE) {
    error = "no MZ header";
    return false;
  }
  const size_t nt = static_cast<size_t>(dos->e_lfanew);
  const auto signature = copyAt<DWORD>(bytes_, nt);
  const auto file = copyAt<IMAGE_FILE_HEADER>(bytes_, nt + sizeof(DWORD));
  if (!signature || *signature != IMAGE_NT_SIGNATURE || !file) {
    error = "no PE header";
    return false;
  }
  file_ = *file;
  const size_t optional = nt + sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER);
  magic_ = copyAt<WORD>(bytes_, optional).value_or(0);
  const bool headerRead = magic_ == IMAGE_NT_OPTIONAL_HDR32_MAGIC
                              ? readOptionalHeader<IMAGE_OPTIONAL_HEADER32>(optional)
                              : readOptionalHeader<IMAGE_OPTIONAL_HEADER64>(optional);
  if (!headerRead) {
    error = "optional header cut short";
    return false;
  }
  const size_t table = optional + file_.SizeOfOptionalHeader;
  for (WORD i = 0; i < file_.NumberOfSections; ++i) {
    const auto section =
        copyAt<IMAGE_SECTION_HEADER>(bytes_, table + i * sizeof(IMAGE_SECTION_HEADER));
    if (!section) {
      error = "section table cut short";
      return false;
    }
    sections_.push_back(*section);
  }
  return true;
}

template <typename Header> bool PeImage::readOptionalHeader(size_t offset) {
  const auto header = copyAt<Header>(bytes_, offset);
  if (!header)
    return false;
  dllCharacteristics_ = header->DllCharacteristics;
  subsystem_ = header->Subsystem;
  const DWORD count =
      std::min<DWORD>(header->NumberOfRvaAndSizes, IMAGE_NUMBEROF_DIRECTORY_ENTRIES);
  directories_.assign(header->DataDirectory, header->DataDirectory + count);
  return true;
}

IMAGE_DATA_DIRECTORY PeImage::directory(unsigned index) const noexcept {
  return index < directories_.size() ? directories_[index] : IMAGE_DATA_DIRECTORY{};
}

const IMAGE_SECTION_HEADER *PeImage::sectionOf(DWORD rva) const noexcept {
  for (const auto &section : sections_) {
    const DWORD extent = std::max(section.Misc.VirtualSize, section.SizeOfRawData);
    if (rva >= section.VirtualAddress && rva - section.VirtualAddress < extent)
      return &section;
  }
  return nullptr;
}

std::optional<size_t> PeImage::offsetOf(DWORD rva, size_t size) const noexcept {
  const IMAGE_SECTION_HEADER *section = sectionOf(rva);
  if (!section || rva - section->VirtualAddress + size > section->SizeOfRawData)
    return std::nullopt;
  return size_t{section->PointerToRawData} + (rva - section->VirtualAddress);
}

template <typename T> std::optional<T> PeImage::at(DWORD rva) const {
  const auto offset = offsetOf(rva, sizeof(T));
  return offset ? copyAt<T>(bytes_, *offset) : std::nullopt;
}

std::optional<std::string> PeImage::text(DWORD rva) const {
  const auto offset = offsetOf(rva, 1);
  if (!offset)
    return std::nullopt;
  const auto begin = bytes_.begin() + static_cast<std::ptrdiff_t>(*offset);
  const auto end = std::find(begin, bytes_.end(), BYTE{0});
  if (end == bytes_.end())
    return std::nullopt;
  return std::string(begin, end);
}

std::optional<IMAGE_EXPORT_DIRECTORY> PeImage::exportDirectory() const {
  const IMAGE_DATA_DIRECTORY dir = directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
  if (dir.VirtualAddress == 0)
    return std::nullopt;
  return at<IMAGE_EXPORT_DIRECTORY>(dir.VirtualAddress);
}

DWORD PeImage::exportBase() const {
  const auto exports = exportDirectory();
  return exports ? exports->Base : 0;
}

DWORD PeImage::exportedFunctionCount() const {
  const auto exports = exportDirectory();
  return exports ? exports->NumberOfFunctions : 0;
}

std::vector<Export> PeImage::exports(bool &ok) const {
  std::vector<Export> found;
  ok = false;
  const auto exports = exportDirectory();
  if (!exports)
    return found;
  const IMAGE_DATA_DIRECTORY dir = directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    const auto nameRva = at<DWORD>(exports->AddressOfNames + i * sizeof(DWORD));
    const auto index = at<WORD>(exports->AddressOfNameOrdinals + i * sizeof(WORD));
    const auto name = nameRva ? text(*nameRva) : std::nullopt;
    if (!name || !index || *index >= exports->NumberOfFunctions)
      return found;
    const auto address = at<DWORD>(exports->AddressOfFunctions + *index * sizeof(DWORD));
    if (!address)
      return found;
    const bool forwarder =
        *address >= dir.VirtualAddress && *address - dir.VirtualAddress < dir.Size;
    const IMAGE_SECTION_HEADER *section = sectionOf(*address);
    found.push_back({*name, *index + exports->Base,
                     !forwarder && section && (section->Characteristics & IMAGE_SCN_MEM_EXECUTE)});
  }
  ok = true;
  return found;
}

std::vector<std::string> PeImage::importedLibraries(bool &ok) const {
  std::vector<std::string> names;
  ok = false;
  const IMAGE_DATA_DIRECTORY dir = directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
  if (dir.VirtualAddress == 0)
    return names;
  for (DWORD rva = dir.VirtualAddress;; rva += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
    const auto entry = at<IMAGE_IMPORT_DESCRIPTOR>(rva);
    if (!entry)
      return names;
    if (entry->Name == 0)
      break;
    const auto name = text(entry->Name);
    if (!name)
      return names;
    names.push_back(lower(*name));
  }
  ok = true;
  return names;
}

} // namespace image
