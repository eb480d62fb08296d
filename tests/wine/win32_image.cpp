// The 32-bit build as a 64-bit program sees it, without running any of its code (so that it is
// checked on machines that run no 32-bit programs too): the PE headers, export and import
// tables of brennow.dll and brennow-check.exe, the DLL's version resource and type library
// beside the 64-bit DLL's, and the x86 package's tables beside the x64 package's.
//
// Usage: win32-image [GoogleTest options] [WIN32_FOLDER [WIN64_FOLDER [PACKAGES_FOLDER]]]
// The folders default to build\win32, build\win64 (this program's own) and build\packages.
#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/win/automation.h"
#include "component/version.h"
#include "tests/wine/image/MsiPackage.h"
#include "tests/wine/image/PeImage.h"
#include "tests/wine/image/TypeLibText.h"
#include "tests/wine/wintest.h"

using image::MsiPackage;
using image::PeImage;
using image::Row;
using Microsoft::WRL::ComPtr;

namespace {

struct Folders {
  std::wstring win32;
  std::wstring win64;
  std::wstring packages;
};
Folders folders;

std::string narrow(const std::wstring &text) { return wintest::toUtf8(text); }

// ---------------------------------------------------------------- PE headers and tables

std::optional<PeImage> readImage(const std::wstring &path) {
  std::string error;
  auto file = PeImage::read(path, error);
  if (!file)
    ADD_FAILURE() << narrow(path) << ": " << error;
  return file;
}

// What the build makes of each 32-bit file: the linker's defaults for MinGW-w64 (relocatable,
// ASLR and DEP on, not large-address aware, console subsystem) with -shared for the DLL.
struct Artefact {
  const wchar_t *name;
  WORD characteristics;
  WORD dllCharacteristics;
  WORD subsystem;
};
constexpr WORD kImage =
    IMAGE_FILE_EXECUTABLE_IMAGE | IMAGE_FILE_LINE_NUMS_STRIPPED | IMAGE_FILE_32BIT_MACHINE;
constexpr WORD kAslrAndDep =
    IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE | IMAGE_DLLCHARACTERISTICS_NX_COMPAT;
const Artefact kArtefacts[] = {
    {L"brennow.dll", kImage | IMAGE_FILE_DLL, kAslrAndDep, IMAGE_SUBSYSTEM_WINDOWS_CUI},
    {L"brennow-check.exe", kImage, kAslrAndDep, IMAGE_SUBSYSTEM_WINDOWS_CUI},
};

void PrintTo(const Artefact &artefact, std::ostream *out) { *out << narrow(artefact.name); }

class Win32Artefact : public testing::TestWithParam<Artefact> {
protected:
  std::wstring path32() const { return folders.win32 + L"\\" + GetParam().name; }
  std::wstring path64() const { return folders.win64 + L"\\" + GetParam().name; }
};

TEST_P(Win32Artefact, IsAnI386ImageWithTheBuildsCharacteristics) {
  const auto file = readImage(path32());
  ASSERT_TRUE(file);
  EXPECT_EQ(file->machine(), IMAGE_FILE_MACHINE_I386);
  EXPECT_EQ(file->optionalHeaderMagic(), IMAGE_NT_OPTIONAL_HDR32_MAGIC);
  EXPECT_EQ(file->characteristics(), GetParam().characteristics);
  EXPECT_EQ(file->dllCharacteristics(), GetParam().dllCharacteristics);
  EXPECT_EQ(file->subsystem(), GetParam().subsystem);
}

// Windows' own libraries; the MinGW runtime is linked in statically.
const std::set<std::string> kSystemLibraries = {
    "kernel32.dll", "user32.dll",  "gdi32.dll",    "advapi32.dll", "ole32.dll",
    "oleaut32.dll", "msvcrt.dll",  "comctl32.dll", "version.dll",  "shell32.dll",
    "shlwapi.dll",  "uxtheme.dll", "imm32.dll"};
// Loaded at run time by a vSphere check only (and usp10 by no one): hosts that check through
// the automation component never load them.
const std::set<std::string> kLoadedAtRunTimeOnly = {"winhttp.dll", "crypt32.dll", "xmllite.dll",
                                                    "usp10.dll"};

std::set<std::string> importsOf(const std::wstring &path) {
  const auto file = readImage(path);
  if (!file)
    return {};
  bool ok = false;
  const auto names = file->importedLibraries(ok);
  EXPECT_TRUE(ok) << narrow(path) << ": the import table cannot be read";
  return {names.begin(), names.end()};
}

TEST_P(Win32Artefact, ImportsOnlySystemLibraries) {
  const std::set<std::string> imports = importsOf(path32());
  EXPECT_FALSE(imports.empty());
  for (const std::string &name : imports) {
    EXPECT_TRUE(kSystemLibraries.count(name) || name.starts_with("api-ms-win-")) << name;
    EXPECT_FALSE(kLoadedAtRunTimeOnly.count(name)) << name;
  }
  const auto file = readImage(path32());
  ASSERT_TRUE(file);
  EXPECT_EQ(file->directory(IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT).VirtualAddress, 0u)
      << "no library is delay-loaded";
}

TEST_P(Win32Artefact, ImportsTheLibrariesThe64BitBuildImports) {
  const std::set<std::string> imports64 = importsOf(path64());
  EXPECT_FALSE(imports64.empty());
  EXPECT_EQ(importsOf(path32()), imports64);
}

INSTANTIATE_TEST_SUITE_P(Win32, Win32Artefact, testing::ValuesIn(kArtefacts),
                         [](const testing::TestParamInfo<Artefact> &info) {
                           return wintest::namePart(narrow(info.param.name));
                         });

TEST(Win32Dll, ExportsTheFourEntryPointsUndecoratedAtOrdinals1To4) {
  const auto file = readImage(folders.win32 + L"\\brennow.dll");
  ASSERT_TRUE(file);
  bool ok = false;
  const auto exports = file->exports(ok);
  ASSERT_TRUE(ok) << "the export table cannot be read";
  EXPECT_EQ(file->exportBase(), 1u);
  EXPECT_EQ(file->exportedFunctionCount(), 4u);
  std::set<std::pair<std::string, DWORD>> found;
  for (const auto &entry : exports) {
    found.emplace(entry.name, entry.ordinal);
    EXPECT_TRUE(entry.inExecutableSection) << entry.name << " is no function of the DLL's";
  }
  const std::set<std::pair<std::string, DWORD>> expected = {{"DllCanUnloadNow", 1},
                                                            {"DllGetClassObject", 2},
                                                            {"DllRegisterServer", 3},
                                                            {"DllUnregisterServer", 4}};
  EXPECT_EQ(found, expected);
}

// ---------------------------------------------------------------- version resource

// The version block of a file of either bitness; empty when it has none.
std::vector<BYTE> versionBlock(const std::wstring &path) {
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  std::vector<BYTE> block(size);
  if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, block.data()))
    block.clear();
  return block;
}

// The fixed part and every string a host or an installer reads, one "name value" line each.
std::vector<std::wstring> versionLines(const std::vector<BYTE> &block) {
  std::vector<std::wstring> lines;
  VS_FIXEDFILEINFO *fixed = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<LPVOID *>(&fixed), &length))
    return lines;
  for (const auto &[name, value] : std::initializer_list<std::pair<const wchar_t *, DWORD>>{
           {L"signature", fixed->dwSignature},
           {L"file version high", fixed->dwFileVersionMS},
           {L"file version low", fixed->dwFileVersionLS},
           {L"product version high", fixed->dwProductVersionMS},
           {L"product version low", fixed->dwProductVersionLS},
           {L"flags mask", fixed->dwFileFlagsMask},
           {L"flags", fixed->dwFileFlags},
           {L"OS", fixed->dwFileOS},
           {L"type", fixed->dwFileType},
           {L"subtype", fixed->dwFileSubtype}})
    lines.push_back(std::wstring(name) + L" " + std::to_wstring(value));
  for (const wchar_t *name : {L"CompanyName", L"ProductName", L"FileVersion", L"ProductVersion",
                              L"InternalName", L"OriginalFilename", L"OLESelfRegister"}) {
    LPVOID value = nullptr;
    const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    if (VerQueryValueW(block.data(), key.c_str(), &value, &length))
      lines.push_back(std::wstring(name) + L" [" + static_cast<const wchar_t *>(value) + L"]");
    else
      lines.push_back(std::wstring(name) + L" missing");
  }
  WORD *translation = nullptr;
  if (VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                     reinterpret_cast<LPVOID *>(&translation), &length) &&
      length >= 4)
    lines.push_back(L"translation " + std::to_wstring(translation[0]) + L" " +
                    std::to_wstring(translation[1]));
  return lines;
}

TEST(Win32Dll, VersionResourceIsTheProjectsVersionAsInThe64BitDll) {
  const std::vector<BYTE> block = versionBlock(folders.win32 + L"\\brennow.dll");
  ASSERT_FALSE(block.empty()) << "no version resource";
  VS_FIXEDFILEINFO *fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<LPVOID *>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(BRENNOW_VERSION_MINOR, BRENNOW_VERSION_MAJOR));
  EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(BRENNOW_VERSION_REVISION, BRENNOW_VERSION_BUILD));
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
  EXPECT_EQ(versionLines(block), versionLines(versionBlock(folders.win64 + L"\\brennow.dll")));
}

// ---------------------------------------------------------------- type library

// The type library embedded in a DLL, read without registering anything.
ComPtr<ITypeLib> embeddedTypeLibrary(const std::wstring &dll) {
  ComPtr<ITypeLib> library;
  EXPECT_EQ(LoadTypeLibEx(dll.c_str(), REGKIND_NONE, &library), S_OK) << narrow(dll);
  return library;
}

// Lines as one text, so that a failure shows their difference.
std::string joined(const std::vector<std::wstring> &lines) {
  std::string text;
  for (const std::wstring &line : lines)
    text += narrow(line) + "\n";
  return text;
}

SYSKIND platformOf(ITypeLib *library) {
  TLIBATTR *attr = nullptr;
  if (FAILED(library->GetLibAttr(&attr)))
    return static_cast<SYSKIND>(-1);
  const SYSKIND platform = attr->syskind;
  library->ReleaseTLibAttr(attr);
  return platform;
}

TEST(Win32TypeLibrary, IsAWin32Library) {
  const auto library = embeddedTypeLibrary(folders.win32 + L"\\brennow.dll");
  ASSERT_TRUE(library);
  EXPECT_EQ(platformOf(library.Get()), SYS_WIN32);
}

TEST(Win32TypeLibrary, MatchesThe64BitLibraryMemberByMember) {
  const auto library32 = embeddedTypeLibrary(folders.win32 + L"\\brennow.dll");
  const auto library64 = embeddedTypeLibrary(folders.win64 + L"\\brennow.dll");
  ASSERT_TRUE(library32 && library64);
  EXPECT_EQ(platformOf(library64.Get()), SYS_WIN64);
  const std::string text32 = joined(image::describeTypeLibrary(library32.Get()));
  const std::string text64 = joined(image::describeTypeLibrary(library64.Get()));
  // The comparison means something only when the members are there.
  EXPECT_NE(text64.find("\n  function qm_docheck id 0x60030004 "), std::string::npos) << text64;
  EXPECT_EQ(text32, text64);
}

// ---------------------------------------------------------------- packages

class Packages : public testing::Test {
protected:
  void SetUp() override {
    x86_ = open(L"brennow-x86.msi");
    x64_ = open(L"brennow-x64.msi");
    ASSERT_TRUE(x86_ && x64_);
  }
  static std::optional<MsiPackage> open(const std::wstring &name) {
    std::string error;
    auto package = MsiPackage::open(folders.packages + L"\\" + name, error);
    if (!package)
      ADD_FAILURE() << narrow(name) << ": " << error;
    return package;
  }
  // The rows of `query` in both packages, each sorted.
  std::pair<std::vector<Row>, std::vector<Row>> rows(const std::wstring &query) const {
    auto sortedRows = [&query](const MsiPackage &package) {
      auto found = package.rows(query);
      EXPECT_TRUE(found) << narrow(query);
      std::vector<Row> rows = found.value_or(std::vector<Row>{});
      std::sort(rows.begin(), rows.end());
      return rows;
    };
    return {sortedRows(*x86_), sortedRows(*x64_)};
  }
  std::optional<MsiPackage> x86_, x64_;
};

// Rows as text, one line each, so that a failure shows their difference.
std::string text(const std::vector<Row> &rows) {
  std::string out;
  for (const Row &row : rows) {
    for (size_t i = 0; i < row.size(); ++i)
      out += (i ? " | " : "") + narrow(row[i]);
    out += "\n";
  }
  return out;
}

std::wstring replaced(std::wstring text, const std::wstring &from, const std::wstring &to) {
  for (size_t at = text.find(from); at != std::wstring::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

constexpr UINT kSummaryTemplate = 7;   // PID_TEMPLATE: "platform;languages"
constexpr UINT kSummaryPageCount = 14; // PID_PAGECOUNT: the installer version needed

TEST_F(Packages, SummaryNamesEachPackagesPlatform) {
  EXPECT_EQ(x86_->summary(kSummaryTemplate), L"Intel;1033");
  EXPECT_EQ(x64_->summary(kSummaryTemplate), L"x64;1033");
  EXPECT_EQ(x86_->summary(kSummaryPageCount), x64_->summary(kSummaryPageCount));
}

TEST_F(Packages, SameFilesEachFromItsOwnBuild) {
  const auto [x86, x64] = rows(
      L"SELECT `File`, `Component_`, `FileName`, `Version`, `Language`, `Attributes` FROM `File`");
  EXPECT_EQ(x86.size(), 3u) << text(x86);
  EXPECT_EQ(text(x86), text(x64));

  for (const auto &[package, folder] :
       {std::pair{&*x86_, folders.win32}, std::pair{&*x64_, folders.win64}}) {
    for (const Row &row :
         package->rows(L"SELECT `FileName`, `FileSize` FROM `File`").value_or(std::vector<Row>{})) {
      const std::wstring name = row[0].substr(row[0].find(L'|') + 1);
      const std::wstring path = folder + L"\\" + name;
      std::error_code error;
      const auto size = std::filesystem::file_size(path, error);
      if (error) {
        ADD_FAILURE() << narrow(path) << ": " << error.message();
      } else {
        EXPECT_EQ(row[1], std::to_wstring(size)) << narrow(path);
      }
    }
  }
}

TEST_F(Packages, SameFoldersButForTheProgramFilesFolderOfEachPlatform) {
  const auto [x86, x64] =
      rows(L"SELECT `Directory`, `Directory_Parent`, `DefaultDir` FROM `Directory`");
  std::vector<Row> expected64 = x86;
  for (Row &row : expected64)
    for (std::wstring &field : row)
      field = replaced(field, L"ProgramFilesFolder", L"ProgramFiles64Folder");
  std::sort(expected64.begin(), expected64.end());
  EXPECT_NE(expected64, x86) << "the x86 package installs into ProgramFilesFolder:\n" << text(x86);
  EXPECT_EQ(text(expected64), text(x64));
}

constexpr int kComponent64Bit = 256; // msidbComponentAttributes64bit

TEST_F(Packages, SameComponentsWithCodesAndBitnessOfTheirOwn) {
  const auto [x86, x64] =
      rows(L"SELECT `Component`, `Directory_`, `Attributes`, `KeyPath`, `ComponentId` FROM "
           L"`Component`");
  std::map<std::wstring, Row> byName64;
  for (const Row &row : x64)
    byName64[row[0]] = row;
  // The 64-bit DLL's RegisterTypeLib also writes the interface into the 32-bit view.
  ASSERT_TRUE(byName64.count(L"Interface32")) << text(x64);
  EXPECT_EQ(std::stoi(byName64[L"Interface32"][2]) & kComponent64Bit, 0);
  byName64.erase(L"Interface32");
  ASSERT_EQ(x86.size(), byName64.size()) << "x86:\n" << text(x86) << "x64:\n" << text(x64);
  for (const Row &row86 : x86) {
    SCOPED_TRACE(narrow(row86[0]));
    ASSERT_TRUE(byName64.count(row86[0]));
    const Row &row64 = byName64[row86[0]];
    EXPECT_EQ(row86[1], row64[1]) << "folder";
    EXPECT_EQ(std::stoi(row86[2]) & kComponent64Bit, 0) << "an x86 component is 32-bit";
    EXPECT_EQ(std::stoi(row86[2]) | kComponent64Bit, std::stoi(row64[2])) << "attributes";
    EXPECT_EQ(row86[3], row64[3]) << "key path";
    EXPECT_NE(row86[4], row64[4]) << "both packages install side by side: codes of their own";
  }
}

TEST_F(Packages, SameRegistryRowsButForTheTypeLibrarysPlatform) {
  const auto [x86, x64] =
      rows(L"SELECT `Root`, `Key`, `Name`, `Value`, `Component_` FROM `Registry`");
  std::vector<Row> expected64;
  for (const Row &row : x86) {
    Row moved = row;
    moved[1] = replaced(moved[1], L"\\0\\win32", L"\\0\\win64");
    expected64.push_back(moved);
    if (row[1].starts_with(L"Interface\\")) {
      Row view32 = row;
      view32[4] = L"Interface32";
      expected64.push_back(view32);
    }
  }
  std::sort(expected64.begin(), expected64.end());
  EXPECT_NE(expected64, x86) << "the x86 package registers a win32 type library:\n" << text(x86);
  EXPECT_EQ(text(expected64), text(x64));
}

struct PropertyRule {
  const wchar_t *name;
  bool same;
};
const PropertyRule kProperties[] = {
    {L"Manufacturer", true},    {L"ProductVersion", true}, {L"ALLUSERS", true},
    {L"ProductLanguage", true}, {L"ProductName", false},   {L"UpgradeCode", false},
    {L"ProductCode", false},
};

TEST_F(Packages, PropertiesAgreeButForTheProductsIdentity) {
  const auto [x86, x64] = rows(L"SELECT `Property`, `Value` FROM `Property`");
  auto value = [](const std::vector<Row> &rows, const wchar_t *name) {
    for (const Row &row : rows)
      if (row[0] == name)
        return row[1];
    return std::wstring(L"<missing>");
  };
  for (const PropertyRule &rule : kProperties) {
    SCOPED_TRACE(narrow(rule.name));
    EXPECT_NE(value(x86, rule.name), L"<missing>");
    if (rule.same)
      EXPECT_EQ(value(x86, rule.name), value(x64, rule.name));
    else
      EXPECT_NE(value(x86, rule.name), value(x64, rule.name));
  }
}

std::wstring wide(const char *text) {
  const int size = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  std::wstring result(size > 0 ? size - 1 : 0, L'\0');
  MultiByteToWideChar(CP_ACP, 0, text, -1, result.data(), size);
  return result;
}

} // namespace

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  const std::wstring build = wintest::buildFolder();
  const std::wstring parent = build.substr(0, build.find_last_of(L"\\/"));
  folders = {parent + L"\\win32", build, parent + L"\\packages"};
  if (argc > 1)
    folders.win32 = wide(argv[1]);
  if (argc > 2)
    folders.win64 = wide(argv[2]);
  if (argc > 3)
    folders.packages = wide(argv[3]);
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const int result = RUN_ALL_TESTS();
  CoUninitialize();
  return result;
}
