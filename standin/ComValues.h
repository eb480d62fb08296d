#pragma once
// The BSTR and VARIANT owners the stand-in shares with the component, and the
// conversions of its own.
#include <windows.h>

#include <oleauto.h>

#include <optional>
#include <string>
#include <string_view>

#include "common/win/automation.h"

namespace standin {

using brennow::win::Bstr;
using brennow::win::Variant;

// `value` converted the automation way (by-reference values resolved). Returns the
// conversion's failure code, or S_OK with `converted` set.
HRESULT changeType(const VARIANT &value, VARTYPE type, Variant &converted);

std::optional<std::wstring> environmentValue(const wchar_t *name);

} // namespace standin
