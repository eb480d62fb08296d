#pragma once
// The checks a vSphere server can be asked for, as the parameter string names them: which
// key names each check's object, its threshold with range and default, and how a string's
// values are read. The check, the runner and the settings dialog all read this description.
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace brennow {

enum class VSphereCheck { MachineState, Guest, Datastore, Snapshot, Host, Alarm };

// A whole-number threshold: its key, range, the value a missing one takes, and its unit.
struct NumberKey {
  std::wstring_view key;
  int min;
  int max;
  int fallback;
  std::wstring_view unit; // "%", "days"
  // How the settings dialog shows it in the state box's place, "at least" [box] "% free", and
  // what its refusal calls it ("free space").
  std::wstring_view before;
  std::wstring_view after;
  std::wstring_view meaning;
};

enum class AlarmLevel { Red, Yellow };

struct CheckDescription {
  VSphereCheck check;
  std::wstring_view name;      // CHK's value ("GUEST"); empty for the machine state
  std::wstring_view option;    // the runner's --check value ("guest")
  std::wstring_view objectKey; // the key naming the check's object; empty: it has none
  bool objectRequired;
  std::optional<NumberKey> threshold;
  bool alarmLevel; // reads ALS
  // As the settings dialog shows it: its entry in the check list, and what the object key
  // names ("datastore"), which labels the object's box; empty where there is no object.
  std::wstring_view title;
  std::wstring_view objectNoun;
};

// Every check, the machine state (CHK absent or empty) first.
std::span<const CheckDescription> vsphereChecks();
const CheckDescription &describe(VSphereCheck check);
// CHK's value, letter case and blanks around it ignored; the machine state for an empty one,
// nothing for a value no check has.
const CheckDescription *checkNamed(std::wstring_view name);

// The keys only vSphere checks have, in the order the dialog and the runner write them after
// THUMB.
std::span<const std::wstring_view> vsphereCheckKeys();

// ALS's values as written, and the words the settings dialog puts before its box.
inline constexpr std::wstring_view kAlarmRed = L"red";
inline constexpr std::wstring_view kAlarmYellow = L"yellow";
inline constexpr std::wstring_view kAlarmLevelLabel = L"fails at";

// ALS's level: letter case and blanks around it ignored, red for an empty one; nothing for
// another value.
std::optional<AlarmLevel> alarmLevelNamed(std::wstring_view text);

// One check's settings, read from a parameter string.
struct CheckSettings {
  const CheckDescription *check = nullptr;
  std::wstring object; // the object key's value, as stored
  int threshold = 0;   // the threshold, or its default
  AlarmLevel alarmLevel = AlarmLevel::Red;
};

// The settings of the check `parameters` asks for, or why they are refused: a text naming
// the key and what it may hold ("MINFREE must be a whole number from 0 to 100 ...").
std::variant<CheckSettings, std::wstring> readCheckSettings(std::wstring_view parameters);

// Why a threshold text is refused, nothing when it may be stored: blanks around the digits
// and an empty text (the default) are allowed.
std::optional<std::wstring> thresholdRefusal(const NumberKey &key, std::wstring_view text);

} // namespace brennow
