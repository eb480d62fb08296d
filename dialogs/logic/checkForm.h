#pragma once
// The settings dialog's rows of a vSphere check: which check is chosen, what the machine row
// and the state row show for it, and the texts of their boxes by key, kept while the user
// switches checks or server types. What OK writes and refuses for the check. Portable: the
// dialog passes and shows texts.
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "params/Generic.h"
#include "params/VSphereChecks.h"
#include "vmserver/ServerChoice.h"

namespace brennow::dialogs {

// The state row's words before the state box, as designed (ending in a blank).
inline constexpr wchar_t kStateLabel[] = L"must be ";

// What the list button lists.
enum class ListedObjects { Machines, Datastores, Hosts };

// What the box in the state box's place compares with.
enum class Comparison { None, State, Threshold, AlarmLevel };

// What the machine row and the state row show for one check.
struct CheckRows {
  // The key the object box edits and its label ("Datastore:"); no key: the row is hidden.
  std::wstring_view objectKey;
  std::wstring objectLabel;
  ListedObjects listed = ListedObjects::Machines;
  Comparison comparison = Comparison::None;
  // The key the comparison's box edits (VMS, MINFREE, MAXAGE, ALS), the words before it
  // ("at least ") and after it ("% free").
  std::wstring_view comparisonKey;
  std::wstring before;
  std::wstring after;

  bool operator==(const CheckRows &) const = default;
};

// The fields OK writes for a vSphere server besides the account and THUMB.
struct CheckOutput {
  std::wstring vmName;
  std::wstring vmState;
  std::vector<CheckField> checkFields;
};

class CheckForm {
public:
  // The machine state, with empty boxes.
  CheckForm();
  // The check `parameters` names and its fields; the machine and its state as the dialog's
  // boxes show them once filled from `parameters`.
  CheckForm(std::wstring_view parameters, std::wstring vmName, std::wstring vmState);

  // The check list: every check's title, then, when no check has the name CHK read, an entry
  // for that one, which keeps its fields as read.
  std::vector<std::wstring> entries() const;
  std::size_t chosen() const noexcept { return chosen_; }
  void choose(std::size_t entry);

  // The rows for `kind`: the automation component knows the machine state only.
  CheckRows rows(vmserver::ServerKind kind) const;

  // A box's text by the key it edits; the threshold and the alarm status start at the check's
  // default when the string has none.
  const std::wstring &text(std::wstring_view key) const;
  void setText(std::wstring_view key, std::wstring text);

  // Why OK must refuse the chosen check's fields, in the dialog's words, by the check's own
  // rules; nothing when the check takes them.
  std::optional<std::wstring> refusal() const;

  // What OK writes. The chosen check's own keys from the boxes, trimmed, CHK upper-case. While
  // the check is the one read, the fields it does not show are written as read, so that a
  // string the dialog cannot show keeps its keys; a check chosen anew writes its keys alone, and
  // empty machine and state fields where it reads none.
  CheckOutput output() const;

private:
  // Null for the entry of a CHK no check has.
  const CheckDescription *chosenCheck() const;

  const CheckDescription *read_;
  std::wstring readName_;
  std::size_t chosen_ = 0;
  std::wstring vmNameRead_;
  std::wstring vmStateRead_;
  std::vector<CheckField> fieldsRead_;
  std::map<std::wstring_view, std::wstring> texts_;
};

} // namespace brennow::dialogs
