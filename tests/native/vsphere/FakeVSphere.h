#pragma once
// An in-memory vSphere endpoint behind the adapter's transport: it reads each posted
// envelope, keeps sessions, views and paging tokens like the web service, answers property
// retrievals of its machines, datastores, hosts and the root folder's alarms, and can fail
// any operation with a fault, an HTML page, a transport failure or an answer of its own.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "vmserver/vsphere/Errors.h"
#include "vmserver/vsphere/Transport.h"

namespace brennow::testing {

struct FakeSnapshot {
  std::wstring name;
  std::wstring createTime{}; // as the server writes it
  std::vector<FakeSnapshot> children{};
};

struct FakeVm {
  std::wstring name;
  std::wstring powerState = L"poweredOn";
  std::wstring connectionState = L"connected";
  bool question = false;
  std::wstring toolsRunningStatus = L"guestToolsRunning";
  std::wstring heartbeat = L"green";
  std::vector<FakeSnapshot> snapshots{};
};

struct FakeDatastore {
  std::wstring name;
  std::int64_t capacity = 0;
  std::int64_t freeSpace = 0;
  bool accessible = true;
};

struct FakeHost {
  std::wstring name;
  std::wstring connectionState = L"connected";
  bool maintenance = false;
  std::wstring overallStatus = L"green";
};

// An alarm triggered on one object: "VirtualMachine", "Datastore" or "HostSystem" and its
// index in that list.
struct FakeAlarm {
  std::wstring name;
  std::wstring entityType;
  std::size_t entity = 0;
  std::wstring status = L"red";
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

// A posted envelope: its operation, the first text and type of each leaf element, and every
// leaf in order with the element it stands in.
struct FakeRequest {
  struct Leaf {
    std::wstring parent;
    std::wstring name;
    std::wstring text;
    std::wstring type;
  };
  std::wstring operation;
  std::map<std::wstring, std::wstring> values;
  std::map<std::wstring, std::wstring> types;
  std::vector<Leaf> leaves;
};

FakeRequest readFakeRequest(const std::string &envelope);

class FakeVSphere {
public:
  std::vector<FakeVm> machines;
  std::vector<FakeDatastore> datastores;
  std::vector<FakeHost> hosts;
  std::vector<FakeAlarm> alarms;
  std::wstring currentTime = L"2026-12-09T12:00:00Z";
  std::wstring rootFolder = L"group-d1";
  std::wstring username = L"alice";
  std::wstring password = L"secret";
  std::size_t pageSize = 0;                     // 0: every object in one answer
  std::map<std::wstring, FakeFailure> failures; // by operation name
  // Rewrites the answer to an operation after it is made (the n-th answer of each operation
  // counted from 1), for answers no well-behaved server gives.
  std::function<void(const std::wstring &operation, int nth, vmserver::vsphere::HttpAnswer &)>
      rewrite;

  // Operation names in the order they arrived, and what the adapter asked the transport.
  std::vector<std::wstring> operations;
  std::vector<std::string> cookiesSent;
  std::vector<vmserver::vsphere::Transport::Content> contents;
  std::vector<vmserver::vsphere::Transport::Clock::time_point> deadlines;
  std::vector<FakeRequest> requests;
  std::optional<vmserver::vsphere::Endpoint> endpoint;
  std::optional<vmserver::vsphere::TransportOptions> options;

  std::set<std::wstring> liveSessions;
  std::set<std::wstring> liveViews;

  vmserver::vsphere::TransportFactory transportFactory();
  vmserver::vsphere::HttpAnswer answer(const std::string &envelope, const std::string &cookie,
                                       vmserver::vsphere::Transport::Content content);

private:
  // An object the fake answers for: its type and index in its list ("group-d1": the folder).
  struct Object {
    std::wstring type;
    std::size_t index = 0;
  };
  // A retrieval under way: the objects, which paths of each type, and where the next page starts.
  struct Retrieval {
    std::vector<Object> objects;
    std::map<std::wstring, std::vector<std::wstring>> paths;
    std::size_t next = 0;
  };

  vmserver::vsphere::HttpAnswer respond(const FakeRequest &request, const std::string &cookie);
  vmserver::vsphere::HttpAnswer retrieve(const FakeRequest &request);
  vmserver::vsphere::HttpAnswer page(Retrieval retrieval, const std::string &operation);
  std::optional<Object> objectOf(const std::wstring &type, const std::wstring &id) const;
  std::string objectXml(const Object &object, const std::vector<std::wstring> &paths) const;
  std::optional<std::string> property(const Object &object, const std::wstring &path) const;

  int nextSession_ = 0;
  int nextView_ = 0;
  std::map<std::wstring, std::wstring> viewTypes_; // view -> the type it shows
  std::map<std::wstring, Retrieval> tokens_;
  std::map<std::wstring, int> answered_; // answers made per operation
};

} // namespace brennow::testing
