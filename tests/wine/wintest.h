#pragma once
// Shared pieces of the Windows test programs: the path of the component under test,
// automation calls as a host makes them, the stand-in server's files, COM objects of the
// tests' own, and one check as a host runs it.
#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/win/ComObject.h"
#include "common/win/automation.h"
#include "common/utf8.h"

namespace wintest {

// Folder of the test program: the DLLs under test stand beside it.
std::wstring buildFolder();
std::wstring brennowPath();

// A BSTR variant / an I4 variant (owned by the caller's win::Variant or VariantClear).
VARIANT textVariant(const std::wstring &text);
inline VARIANT int32Variant(LONG value) { return brennow::win::int32Argument(value); }

// Late-bound calls as a host makes them; return the HRESULT, fill `result` and `exception`.
HRESULT invoke(IDispatch *object, const wchar_t *member, WORD flags,
               const std::vector<VARIANT> &args, VARIANT *result = nullptr,
               brennow::win::ExcepInfo *exception = nullptr);
HRESULT putProperty(IDispatch *object, const wchar_t *member, VARIANT value, bool byRef = false,
                    brennow::win::ExcepInfo *exception = nullptr);

// Creates brennow.vmwarecom by ProgID.
Microsoft::WRL::ComPtr<IDispatch> createPlugin();

// UTF-8 and back, for messages and the stand-in's files.
using brennow::fromUtf8;
using brennow::toUtf8;

// The text of a BSTR variant ("" for anything else).
std::wstring text(const VARIANT &value);

// The stand-in server's files for one test: a scratch folder of its own, named after
// `purpose`, the process and the running test; the inventory the stand-in answers from
// and, once started, the log it writes. The environment points the stand-in at them
// while the object lives; the folder goes with it.
class StandinFiles {
public:
  explicit StandinFiles(std::string_view purpose);
  ~StandinFiles();
  StandinFiles(const StandinFiles &) = delete;
  StandinFiles &operator=(const StandinFiles &) = delete;

  const std::filesystem::path &folder() const noexcept { return folder_; }
  void writeInventory(std::wstring_view text) const;
  // From now on the stand-in logs every operation into an empty log.
  void startLog();
  std::vector<std::wstring> logLines() const;

private:
  std::filesystem::path folder_;
  std::filesystem::path inventory_;
  std::filesystem::path log_;
};

// How many objects of the stand-in are alive: 0 when it is not loaded, -1 when it does
// not tell.
LONG standinLiveObjects();

// ---- COM objects of the tests' own, the registry, modules and names

// COM objects of a test's own: `class Fake final : public ComObject<Fake, IDispatch>`,
// created with Fake::make(...).
using brennow::win::ComObject;

// A REG_SZ value (`value` nullptr: the key's default value), if the key holds it.
std::optional<std::wstring> registryText(const std::wstring &key, const wchar_t *value = nullptr,
                                         HKEY root = HKEY_CLASSES_ROOT);
bool registryKeyExists(const std::wstring &key, HKEY root = HKEY_CLASSES_ROOT);

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", as the registry writes GUIDs.
using brennow::win::guidText;

// The file a loaded module was loaded from.
std::wstring modulePath(HMODULE module);

// `text` with every character but ASCII letters and digits made '_': fit for file names
// and for the names of parameterized tests.
std::string namePart(std::string_view text);

// ---- one qm_docheck as a host runs it

// What qm_docheck returned and left in qm_result, and the stand-in objects alive right after.
struct CheckOutcome {
  HRESULT hr = E_UNEXPECTED;
  VARTYPE answerType = VT_EMPTY;
  VARIANT_BOOL answer = VARIANT_FALSE;
  VARTYPE resultType = VT_EMPTY;
  std::wstring result;
  LONG standinObjectsAfter = -1;
};

CheckOutcome runCheck(IDispatch *plugin);

// The report of a check that failed at `statement`.
std::wstring errorReport(const std::wstring &description, int statement);

// Every check returns normally with a Boolean, leaves text in qm_result and holds no
// stand-in object.
void expectWellFormed(const CheckOutcome &outcome);
void expectOutcome(const CheckOutcome &outcome, bool answer, const std::wstring &message);
// A failure at `statement` whose description is the implementer's own: only its form is fixed.
void expectFailureAt(const CheckOutcome &outcome, int statement);

} // namespace wintest
