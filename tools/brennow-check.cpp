// brennow-check: runs one availability check exactly as a monitoring host does -
// creates brennow.vmwarecom by ProgID, sets its properties through IDispatch, calls
// qm_docheck and prints qm_result. Exit codes follow monitoring conventions:
// 0 OK (True), 2 CRITICAL (False), 3 UNKNOWN (the component could not be used).
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/AutomationError.h"
#include "common/win/automation.h"
#include "common/utf8.h"
#include "params/AnsiCodePage.h"
#include "params/Generic.h"
#include "params/Keys.h"
#include "params/VSphereChecks.h"
#include "params/base64.h"

using Microsoft::WRL::ComPtr;
using namespace brennow;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitCritical = 2;
constexpr int kExitUnknown = 3;

constexpr wchar_t kUsage[] =
    L"Usage: brennow-check --host NAME [--timeout SECONDS]\n"
    L"                     (--parameter STRING | [--user NAME] [--password TEXT]\n"
    L"                      [--vm NAME] [--state on|off|suspended|stuck]\n"
    L"                      [--server-type automation|vsphere] [--thumbprint HEX]\n"
    L"                      [--check guest|datastore|snapshot|host|alarm]\n"
    L"                      [--datastore NAME] [--min-free PERCENT] [--max-age DAYS]\n"
    L"                      [--host-system NAME] [--alarm-status red|yellow])\n"
    L"\n"
    L"Runs one check of brennow.vmwarecom against the virtualization server NAME and\n"
    L"prints the check's one-line message.\n"
    L"\n"
    L"  --host NAME        the server, as the host sets qm_hostname\n"
    L"  --timeout SECONDS  stored in qm_timeout; bounds each exchange with a vSphere\n"
    L"                     server (the automation component does not apply it)\n"
    L"  --parameter STRING the parameter string as a host stores it, used whole\n"
    L"  --user, --password, --vm, --state\n"
    L"                     build the parameter string from these values, in the format\n"
    L"                     and with the password encoding the settings dialog writes\n"
    L"  --server-type automation|vsphere\n"
    L"                     VSTP=VMWARE (the automation component, the default) or\n"
    L"                     VSTP=VSPHERE (the vSphere Web Services API at https://NAME/sdk)\n"
    L"  --thumbprint HEX   vsphere only: the SHA-256 thumbprint of the server certificate\n"
    L"                     to trust, written into THUMB\n"
    L"  --check KIND       vsphere only (CHK): guest (--vm's guest is alive), datastore\n"
    L"                     (free space, --datastore or every one, --min-free, default 10),\n"
    L"                     snapshot (age, --vm or every machine, --max-age, default 7),\n"
    L"                     host (--host-system or every host), alarm (triggered alarms of\n"
    L"                     --alarm-status or worse, default red); without it the machine\n"
    L"                     state as above\n"
    L"  --datastore, --min-free, --max-age, --host-system, --alarm-status\n"
    L"                     vsphere only: DSN, MINFREE, MAXAGE, HSN and ALS of the check\n"
    L"  --help             this text\n"
    L"\n"
    L"Without --vm the check counts the server's registered virtual machines; with it,\n"
    L"it compares that machine's state with --state.\n"
    L"\n"
    L"Exit codes: 0 the check answered True (OK), 2 it answered False (CRITICAL),\n"
    L"3 the component could not be created or called (UNKNOWN), 64 bad options.\n";

void print(FILE *stream, const std::wstring &text) {
  const std::string bytes = toUtf8(text);
  std::fwrite(bytes.data(), 1, bytes.size(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}

struct Options {
  std::wstring host;
  std::optional<std::wstring> timeout;
  std::optional<std::wstring> parameter;
  ParameterFields fields;
  std::wstring password;
  bool vsphere = false;
  std::optional<std::wstring> thumbprint;
  std::vector<CheckField> checkFields; // CHK and its keys, in the order they are written
  bool help = false;
};

// The runner's options for the vSphere check's own keys.
struct CheckOption {
  std::wstring_view option;
  std::wstring_view key;
};
constexpr CheckOption kCheckOptions[] = {
    {L"--check", keys::Check},
    {L"--datastore", keys::Datastore},
    {L"--min-free", keys::MinFree},
    {L"--max-age", keys::MaxAge},
    {L"--host-system", keys::HostSystem},
    {L"--alarm-status", keys::AlarmStatus},
};

// CHK as the check's name: "datastore" is DATASTORE.
std::optional<std::wstring> checkValue(std::wstring_view option) {
  for (const CheckDescription &check : vsphereChecks())
    if (!check.option.empty() && check.option == option)
      return std::wstring(check.name);
  return std::nullopt;
}

// Adds `key`'s field in the place vsphereCheckKeys gives it.
bool addCheckField(Options &options, std::wstring_view key, const std::wstring &value) {
  std::wstring stored = value;
  if (key == keys::Check) {
    const auto name = checkValue(value);
    if (!name)
      return false;
    stored = *name;
  }
  const auto order = vsphereCheckKeys();
  const auto rank = [&](std::wstring_view k) { return std::find(order.begin(), order.end(), k); };
  const auto at = std::find_if(options.checkFields.begin(), options.checkFields.end(),
                               [&](const CheckField &f) { return rank(f.key) > rank(key); });
  options.checkFields.insert(at, {key, std::move(stored)});
  return true;
}

std::optional<Options> parseOptions(const std::vector<std::wstring> &args) {
  Options options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::wstring &name = args[i];
    if (name == L"--help" || name == L"-h" || name == L"/?") {
      options.help = true;
      continue;
    }
    if (i + 1 >= args.size())
      return std::nullopt;
    const std::wstring &value = args[++i];
    if (name == L"--host")
      options.host = value;
    else if (name == L"--timeout")
      options.timeout = value;
    else if (name == L"--parameter")
      options.parameter = value;
    else if (name == L"--user")
      options.fields.username = value;
    else if (name == L"--password")
      options.password = value;
    else if (name == L"--vm")
      options.fields.vmName = value;
    else if (name == L"--state")
      options.fields.vmState = value;
    else if (name == L"--server-type" && (value == L"automation" || value == L"vsphere"))
      options.vsphere = value == L"vsphere";
    else if (name == L"--thumbprint")
      options.thumbprint = value;
    else if (const auto check =
                 std::find_if(std::begin(kCheckOptions), std::end(kCheckOptions),
                              [&](const CheckOption &o) { return o.option == name; });
             check != std::end(kCheckOptions)) {
      if (!addCheckField(options, check->key, value))
        return std::nullopt;
    } else
      return std::nullopt;
  }
  if ((options.thumbprint || !options.checkFields.empty()) && !options.vsphere)
    return std::nullopt;
  return options;
}

std::wstring parameterString(Options &options) {
  if (options.parameter)
    return *options.parameter;
  options.fields.encodedPassword = base64Encode(options.password, systemAnsiCodePage());
  if (!options.vsphere)
    return buildParameterString(options.fields);
  return buildVSphereParameterString(options.fields, options.thumbprint.value_or(L""),
                                     options.checkFields);
}

void put(IDispatch *plugin, const wchar_t *member, const std::wstring &text) {
  win::callByName(plugin, member, DISPATCH_PROPERTYPUT, {win::Variant::fromText(text).get(), 1});
}

int runCheck(Options &options) {
  CLSID clsid;
  ComPtr<IDispatch> plugin;
  HRESULT hr = CLSIDFromProgID(L"brennow.vmwarecom", &clsid);
  if (SUCCEEDED(hr))
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&plugin));
  if (FAILED(hr)) {
    print(stderr, L"brennow-check: cannot create brennow.vmwarecom (is brennow.dll registered "
                  L"with regsvr32?): " +
                      win::describeHresult(hr));
    return kExitUnknown;
  }
  try {
    put(plugin.Get(), L"qm_hostname", options.host);
    if (options.timeout)
      put(plugin.Get(), L"qm_timeout", *options.timeout);
    put(plugin.Get(), L"qm_parameter", parameterString(options));
    win::Variant answer, result;
    win::callByName(plugin.Get(), L"qm_docheck", DISPATCH_METHOD, {}, answer.get());
    win::callByName(plugin.Get(), L"qm_result", DISPATCH_PROPERTYGET, {}, result.get());
    print(stdout, win::variantText(*result.get()));
    win::throwIfFailed(VariantChangeType(answer.get(), answer.get(), 0, VT_BOOL));
    return V_BOOL(answer.get()) ? kExitOk : kExitCritical;
  } catch (const AutomationError &error) {
    print(stderr, L"brennow-check: " + error.description());
    return kExitUnknown;
  }
}

} // namespace

int wmain(int argc, wchar_t **argv) {
  const std::vector<std::wstring> args(argv + 1, argv + argc);
  auto options = parseOptions(args);
  if (!options || (!options->help && options->host.empty() && !options->parameter)) {
    print(stderr, kUsage);
    return 64;
  }
  if (options->help) {
    print(stdout, kUsage);
    return kExitOk;
  }
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const int code = runCheck(*options);
  CoUninitialize();
  return code;
}
