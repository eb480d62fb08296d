#pragma once
// An in-memory vSphere endpoint behind the adapter's transport: it reads each posted
// envelope, keeps sessions, views and paging tokens like the web service, and can fail
// any operation with a fault, an HTML page or a transport failure.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "vmserver/vsphere/Errors.h"
#include "vmserver/vsphere/Transport.h"

namespace brennow::testing {

struct FakeVm {
  std::wstring name;
  std::wstring powerState = L"poweredOn";
  std::wstring connectionState = L"connected";
  bool question = false;
};

// How an operation fails.
struct FakeFailure {
  std::wstring faultText;                                       // a SOAP fault, HTTP 500
  std::optional<vmserver::vsphere::TransportFailure> transport; // no answer at all
  std::string html;                                             // an HTML page, HTTP 200

  static FakeFailure fault(std::wstring text) { return {std::move(text), std::nullopt, ""}; }
  static FakeFailure lost(vmserver::vsphere::TransportFailure failure) {
    return {L"", failure, ""};
  }
  static FakeFailure page(std::string html) { return {L"", std::nullopt, std::move(html)}; }
};

// A posted envelope: its operation, and the first text and type of each leaf element.
struct FakeRequest {
  std::wstring operation;
  std::map<std::wstring, std::wstring> values;
  std::map<std::wstring, std::wstring> types;
};

FakeRequest readFakeRequest(const std::string &envelope);

class FakeVSphere {
public:
  std::vector<FakeVm> machines;
  std::wstring rootFolder = L"group-d1";
  std::wstring username = L"alice";
  std::wstring password = L"secret";
  std::size_t pageSize = 0;                     // 0: every object in one answer
  std::map<std::wstring, FakeFailure> failures; // by operation name

  // Operation names in the order they arrived, and what the adapter asked the transport.
  std::vector<std::wstring> operations;
  std::vector<std::string> cookiesSent;
  std::vector<vmserver::vsphere::Transport::Content> contents;
  std::vector<vmserver::vsphere::Transport::Clock::time_point> deadlines;
  std::optional<vmserver::vsphere::Endpoint> endpoint;
  std::optional<vmserver::vsphere::TransportOptions> options;

  std::set<std::wstring> liveSessions;
  std::set<std::wstring> liveViews;

  vmserver::vsphere::TransportFactory transportFactory();
  vmserver::vsphere::HttpAnswer answer(const std::string &envelope, const std::string &cookie,
                                       vmserver::vsphere::Transport::Content content);

private:
  vmserver::vsphere::HttpAnswer respond(const FakeRequest &request, const std::string &cookie);
  vmserver::vsphere::HttpAnswer namesPage(std::size_t first);
  vmserver::vsphere::HttpAnswer runtimeOf(const std::wstring &machineId);

  int nextSession_ = 0;
  int nextView_ = 0;
  std::map<std::wstring, std::size_t> tokens_; // token -> index of the page's first object
};

} // namespace brennow::testing
