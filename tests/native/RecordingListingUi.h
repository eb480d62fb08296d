#pragma once
// The settings dialog's side of a listing, recorded: what the listing showed and asked, in
// order, and what it put into the picker and the box; the user's answers set beforehand.
#include <optional>
#include <string>
#include <vector>

#include "dialogs/logic/listing.h"

namespace brennow::testing {

class RecordingListingUi final : public dialogs::ListingUi {
public:
  std::wstring host = L"srv1", user = L"alice", pass = L"secret";
  std::optional<std::wstring> pick;     // what the user double-clicks, if anything
  std::vector<std::wstring> events;     // status changes, messages, picker calls
  std::vector<std::wstring> pickerList; // the lines' texts
  std::vector<dialogs::PickerLine> pickerLines;
  std::wstring vmName = L"typed";

  void setStatus(const std::wstring &text) override { events.push_back(L"status:" + text); }
  std::wstring hostname() override { return host; }
  std::wstring username() override { return user; }
  std::wstring password() override { return pass; }
  void showMessage(const std::wstring &text, dialogs::MessageIcon icon) override {
    events.push_back(std::wstring(icon == dialogs::MessageIcon::Stop ? L"stop:" : L"note:") + text);
  }
  void clearPickerList() override {
    pickerList.clear();
    pickerLines.clear();
    events.push_back(L"clear");
  }
  void appendToPickerList(const dialogs::PickerLine &line) override {
    pickerList.push_back(line.text);
    pickerLines.push_back(line);
  }
  void setPickerCaption(const std::wstring &caption) override {
    events.push_back(L"caption:" + caption);
  }
  std::optional<std::wstring> showPicker() override {
    events.push_back(L"show");
    return pick;
  }
  void setVmName(const std::wstring &name) override { vmName = name; }

  bool trusts = false;  // the answer to a question
  std::wstring trusted; // "THUMB" as the dialog holds it
  bool askYesNo(const std::wstring &text) override {
    events.push_back(L"ask:" + text);
    return trusts;
  }
  std::wstring trustedThumbprint() override { return trusted; }
  void trustThumbprint(const std::wstring &thumbprint) override {
    events.push_back(L"trust:" + thumbprint);
    trusted = thumbprint;
  }
};

} // namespace brennow::testing
