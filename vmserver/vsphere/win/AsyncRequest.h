#pragma once
// One POST through WinHTTP in asynchronous mode. The caller waits for each step until the
// check's deadline at most and then gives the request up, whatever the server's pace; WinHTTP
// may still call back after that, so the request keeps itself, its buffers and the library's
// code alive until WinHTTP reports its handle closing. Just before WinHTTP sends it, the
// certificate of the connection it goes out on is judged, and a refused one closes the handle
// there: WinHTTP on Windows then sends nothing.
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <string>

#include "vmserver/vsphere/win/HttpApi.h"
#include "vmserver/vsphere/win/ServerTrust.h"

namespace brennow::vmserver::vsphere {

// The system's slim lock and condition variable: a request's steps hand over between threads
// several times a check, and these wait without a kernel object (std::condition_variable of this
// toolchain signals a semaphore each time, which under Wine is a round trip to its server).
class SlimLock {
public:
  void lock() noexcept { AcquireSRWLockExclusive(&lock_); }
  void unlock() noexcept { ReleaseSRWLockExclusive(&lock_); }
  SRWLOCK *get() noexcept { return &lock_; }

private:
  SRWLOCK lock_ = SRWLOCK_INIT;
};

class SlimCondition {
public:
  // Waits until `ready` holds or `deadline` has passed; whether it holds.
  template <typename Ready>
  bool waitUntil(std::unique_lock<SlimLock> &held, std::chrono::steady_clock::time_point deadline,
                 Ready ready) {
    while (!ready()) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0)
        return false;
      SleepConditionVariableSRW(&condition_, held.mutex()->get(),
                                static_cast<DWORD>(std::min<long long>(left.count(), 0x7FFFFFFE)),
                                0);
    }
    return true;
  }
  void notifyAll() noexcept { WakeAllConditionVariable(&condition_); }

private:
  CONDITION_VARIABLE condition_ = CONDITION_VARIABLE_INIT;
};

enum class StepResult { Done, Failed, Refused, TimedOut };

struct Step {
  StepResult result = StepResult::Done;
  DWORD error = 0; // Failed: WinHTTP's error
  DWORD bytes = 0; // Done: what a read or a write moved
};

class AsyncRequest {
  struct Private {};

public:
  struct Options {
    std::chrono::steady_clock::time_point deadline;
    bool secure = true;
    // The connection's certificate is judged by the transport's trust alone (a pinned one).
    bool ignoreCertificateErrors = false;
    bool keepAlive = true;
  };

  // What the sessions' status callback must be registered for.
  static constexpr DWORD kNotifications = WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS |
                                          WINHTTP_CALLBACK_FLAG_SEND_REQUEST |
                                          WINHTTP_CALLBACK_FLAG_HANDLES;
  static void CALLBACK onStatus(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info,
                                DWORD length) noexcept;

  // A POST of `path` on `connection`; null when WinHTTP refuses it (GetLastError says why).
  // `trust` is null for plain http.
  static std::shared_ptr<AsyncRequest> open(SharedHttpApi api,
                                            std::shared_ptr<const ServerTrust> trust,
                                            HINTERNET connection, const std::wstring &path,
                                            const Options &options);

  AsyncRequest(Private, SharedHttpApi api, std::shared_ptr<const ServerTrust> trust,
               const Options &options);
  AsyncRequest(const AsyncRequest &) = delete;
  AsyncRequest &operator=(const AsyncRequest &) = delete;
  ~AsyncRequest();

  // `body` leaves with the headers; `totalLength` may announce more for write().
  Step send(std::wstring headers, std::string body, DWORD totalLength);
  Step write(std::string body);
  Step receive();
  // The most one read() takes.
  static constexpr DWORD kReadChunk = 64 * 1024;
  // Appends the next part of the answer's body, `most` bytes at most (up to kReadChunk): Done with
  // no bytes at its end.
  Step read(DWORD most);

  // For header queries between steps; null once closed.
  HINTERNET handle() const noexcept { return handle_.load(); }
  std::size_t bodySize() const noexcept { return body_.size(); }
  std::string takeBody() noexcept { return std::move(body_); }

  // Whether WinHTTP got as far as sending: a failure before that sent nothing.
  bool reachedSending() const;
  // Whether the certificate was judged (and accepted) before the request left.
  bool certificateJudged() const;
  // The refused certificate, after a Refused step.
  CertificateVerdict refusal() const;

  // Gives the request up; WinHTTP's last call back ends it. Once only, from any thread.
  void close() noexcept;

private:
  void begin();
  Step started(BOOL accepted);
  Step await();
  void notify(HINTERNET handle, DWORD status, LPVOID info, DWORD length);
  void judgeCertificate(HINTERNET handle);
  void complete(DWORD bytes);
  void failed(DWORD error);
  void handleClosing() noexcept;

  SharedHttpApi api_;
  std::shared_ptr<const ServerTrust> trust_;
  Options options_;
  std::atomic<HINTERNET> handle_{nullptr};
  // WinHTTP's reference: set once the handle carries this request as its context, dropped
  // when WinHTTP reports the handle closing.
  std::shared_ptr<AsyncRequest> self_;
  std::wstring headers_;
  std::string outgoing_; // what WinHTTP sends from; it must outlive the request's steps
  std::string body_;     // what WinHTTP reads into, likewise

  mutable SlimLock mutex_;
  SlimCondition changed_;
  bool completed_ = false;
  Step completion_;
  bool reachedSending_ = false;
  bool judged_ = false;
  bool refused_ = false;
  CertificateVerdict refusal_;
  std::exception_ptr failure_;
};

// Closes its request when the caller is done with it, on every path.
class RequestInFlight {
public:
  explicit RequestInFlight(std::shared_ptr<AsyncRequest> request) noexcept
      : request_(std::move(request)) {}
  RequestInFlight(const RequestInFlight &) = delete;
  RequestInFlight &operator=(const RequestInFlight &) = delete;
  ~RequestInFlight() {
    if (request_)
      request_->close();
  }
  AsyncRequest *operator->() const noexcept { return request_.get(); }
  AsyncRequest &operator*() const noexcept { return *request_; }

private:
  std::shared_ptr<AsyncRequest> request_;
};

} // namespace brennow::vmserver::vsphere
