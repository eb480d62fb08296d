#pragma once
// Shared pieces of the Windows test programs: an apartment per test program, the path
// of the component under test, and small automation helpers.
#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <string>
#include <string_view>
#include <vector>

namespace wintest {

// Folder of the test program: the DLLs under test stand beside it.
std::wstring buildFolder();
std::wstring brennowPath();

// A BSTR variant / an I4 variant (owned by the caller's win::Variant or VariantClear).
VARIANT textVariant(const std::wstring &text);
VARIANT int32Variant(LONG value);

// Late-bound calls as a host makes them; return the HRESULT, fill `result` and `exception`.
HRESULT invoke(IDispatch *object, const wchar_t *member, WORD flags, std::vector<VARIANT> args,
               VARIANT *result = nullptr, EXCEPINFO *exception = nullptr);
HRESULT putProperty(IDispatch *object, const wchar_t *member, VARIANT value, bool byRef = false,
                    EXCEPINFO *exception = nullptr);

// Creates brennow.vmwarecom by ProgID.
Microsoft::WRL::ComPtr<IDispatch> createPlugin();

// UTF-8 and back, for messages and the stand-in's files.
std::string utf8(std::wstring_view text);
std::wstring fromUtf8(std::string_view bytes);

// The text of a BSTR variant ("" for anything else).
std::wstring text(const VARIANT &value);

} // namespace wintest
