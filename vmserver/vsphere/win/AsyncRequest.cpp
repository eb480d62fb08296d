#include "vmserver/vsphere/win/AsyncRequest.h"

#include <algorithm>

#include "common/win/inproc.h"
#include "vmserver/vsphere/Errors.h"

namespace brennow::vmserver::vsphere {
namespace {

DWORD millisecondsUntil(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return static_cast<DWORD>(std::clamp<long long>(left.count(), 1, 0x7FFFFFFF));
}

constexpr DWORD kIgnoreCertificateErrors =
    SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
    SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;

} // namespace

AsyncRequest::AsyncRequest(Private, SharedHttpApi api, std::shared_ptr<const ServerTrust> trust,
                           const Options &options)
    : api_(std::move(api)), trust_(std::move(trust)), options_(options) {
  // WinHTTP calls this library's code until the handle closes: the library stays loaded.
  win::module::lock();
}

AsyncRequest::~AsyncRequest() {
  close();
  win::module::unlock();
}

std::shared_ptr<AsyncRequest> AsyncRequest::open(SharedHttpApi api,
                                                 std::shared_ptr<const ServerTrust> trust,
                                                 HINTERNET connection, const std::wstring &path,
                                                 const Options &options) {
  auto request = std::make_shared<AsyncRequest>(Private{}, api, std::move(trust), options);
  HINTERNET handle = api->WinHttpOpenRequest(connection, L"POST", path.c_str(), nullptr,
                                             WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                             options.secure ? WINHTTP_FLAG_SECURE : 0);
  if (!handle)
    return nullptr;
  request->handle_ = handle;
  DWORD_PTR context = reinterpret_cast<DWORD_PTR>(request.get());
  if (!api->WinHttpSetOption(handle, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context)) {
    const DWORD error = GetLastError();
    request->close();
    SetLastError(error);
    return nullptr;
  }
  request->self_ = request;
  // WinHTTP's own limits end what a given-up request still does in its worker; the wait for
  // each step (await) is what ends the check on time.
  const auto left = static_cast<int>(millisecondsUntil(options.deadline));
  api->WinHttpSetTimeouts(handle, left, left, left, left);
  DWORD responseTimeout = static_cast<DWORD>(left);
  api->WinHttpSetOption(handle, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout,
                        sizeof responseTimeout);
  // The session cookie is kept by hand; a redirect is not the web service answering.
  DWORD disabled = WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS;
  if (!options.keepAlive)
    disabled |= WINHTTP_DISABLE_KEEP_ALIVE;
  api->WinHttpSetOption(handle, WINHTTP_OPTION_DISABLE_FEATURE, &disabled, sizeof disabled);
  if (options.secure && options.ignoreCertificateErrors) {
    DWORD flags = kIgnoreCertificateErrors;
    if (!api->WinHttpSetOption(handle, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags)) {
      const DWORD error = GetLastError();
      request->close();
      SetLastError(error);
      return nullptr;
    }
  }
  return request;
}

void AsyncRequest::close() noexcept {
  if (HINTERNET handle = handle_.exchange(nullptr))
    api_->WinHttpCloseHandle(handle);
}

void AsyncRequest::begin() {
  const std::lock_guard guard(mutex_);
  completed_ = false;
  completion_ = {};
}

Step AsyncRequest::send(std::wstring headers, std::string body, DWORD totalLength) {
  headers_ = std::move(headers);
  outgoing_ = std::move(body);
  begin();
  // The context goes with the send too: a zero there may clear the one set on the handle.
  const BOOL accepted = api_->WinHttpSendRequest(
      handle(), headers_.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers_.c_str(),
      headers_.empty() ? 0 : static_cast<DWORD>(-1),
      outgoing_.empty() ? WINHTTP_NO_REQUEST_DATA : outgoing_.data(),
      static_cast<DWORD>(outgoing_.size()), totalLength, reinterpret_cast<DWORD_PTR>(this));
  return started(accepted);
}

Step AsyncRequest::write(std::string body) {
  outgoing_ = std::move(body);
  std::size_t sent = 0;
  while (sent < outgoing_.size()) {
    begin();
    const Step step = started(api_->WinHttpWriteData(
        handle(), outgoing_.data() + sent, static_cast<DWORD>(outgoing_.size() - sent), nullptr));
    if (step.result != StepResult::Done)
      return step;
    if (step.bytes == 0)
      return {StepResult::Failed, ERROR_WINHTTP_CONNECTION_ERROR};
    sent += step.bytes;
  }
  return {};
}

Step AsyncRequest::receive() {
  begin();
  return started(api_->WinHttpReceiveResponse(handle(), nullptr));
}

Step AsyncRequest::read(DWORD most) {
  const DWORD size = std::clamp<DWORD>(most, 1, kReadChunk);
  const std::size_t kept = body_.size();
  body_.resize(kept + size);
  begin();
  const Step step = started(api_->WinHttpReadData(handle(), body_.data() + kept, size, nullptr));
  // A read that did not end may still fill the buffer: it stays as it is.
  if (step.result == StepResult::Done)
    body_.resize(kept + std::min(step.bytes, size));
  else if (step.result == StepResult::Failed)
    body_.resize(kept);
  return step;
}

// WinHTTP completes an accepted call through the callback; a refused one with its error.
Step AsyncRequest::started(BOOL accepted) {
  if (accepted)
    return await();
  const DWORD error = GetLastError();
  std::unique_lock lock(mutex_);
  if (failure_)
    std::rethrow_exception(failure_);
  if (refused_)
    return {StepResult::Refused};
  return {StepResult::Failed, error};
}

Step AsyncRequest::await() {
  std::unique_lock lock(mutex_);
  const bool ended = changed_.waitUntil(lock, options_.deadline,
                                        [this] { return completed_ || refused_ || failure_; });
  if (failure_)
    std::rethrow_exception(failure_);
  if (refused_)
    return {StepResult::Refused};
  if (!ended)
    return {StepResult::TimedOut};
  return completion_;
}

bool AsyncRequest::reachedSending() const {
  const std::lock_guard guard(mutex_);
  return reachedSending_;
}

bool AsyncRequest::certificateJudged() const {
  const std::lock_guard guard(mutex_);
  return judged_;
}

CertificateVerdict AsyncRequest::refusal() const {
  const std::lock_guard guard(mutex_);
  return refusal_;
}

void CALLBACK AsyncRequest::onStatus(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info,
                                     DWORD length) noexcept {
  // Sessions and connections carry no context: only requests are followed.
  auto *request = reinterpret_cast<AsyncRequest *>(context);
  if (!request)
    return;
  if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
    request->handleClosing();
    return;
  }
  try {
    request->notify(handle, status, info, length);
  } catch (...) {
    const std::lock_guard guard(request->mutex_);
    request->failure_ = std::current_exception();
    request->changed_.notifyAll();
  }
}

// The last call back for the handle: WinHTTP's reference goes, and with the caller's gone
// too the request, and its hold on the library, end here.
void AsyncRequest::handleClosing() noexcept {
  std::shared_ptr<AsyncRequest> last;
  const std::lock_guard guard(mutex_);
  last = std::move(self_);
  completed_ = true;
  completion_ = {StepResult::Failed, ERROR_WINHTTP_OPERATION_CANCELLED};
  changed_.notifyAll();
  // `guard` unlocks before `last` releases: members declared later are destroyed first.
}

void AsyncRequest::notify(HINTERNET handle, DWORD status, LPVOID info, DWORD length) {
  switch (status) {
  case WINHTTP_CALLBACK_STATUS_SENDING_REQUEST:
    judgeCertificate(handle);
    break;
  case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
  case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
    complete(0);
    break;
  case WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE:
    complete(info && length >= sizeof(DWORD) ? *static_cast<const DWORD *>(info) : 0);
    break;
  case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
    complete(length);
    break;
  case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
    failed(info ? static_cast<const WINHTTP_ASYNC_RESULT *>(info)->dwError
                : ERROR_WINHTTP_INTERNAL_ERROR);
    break;
  default:
    break;
  }
}

// The point where the request is about to leave on a connection whose certificate is known:
// a refused one closes the handle before the call back returns.
void AsyncRequest::judgeCertificate(HINTERNET handle) {
  {
    const std::lock_guard guard(mutex_);
    reachedSending_ = true;
    if (!trust_ || judged_ || refused_ || !handle_.load())
      return;
  }
  CertificateVerdict verdict;
  try {
    const Certificate certificate = trust_->certificateOf(handle);
    if (!certificate)
      throw adapterError(L"The server's certificate cannot be read");
    verdict = trust_->judge(*certificate, options_.deadline);
  } catch (...) {
    close();
    throw;
  }
  if (!verdict.accepted)
    close();
  const std::lock_guard guard(mutex_);
  if (verdict.accepted) {
    judged_ = true;
    return;
  }
  refused_ = true;
  refusal_ = std::move(verdict);
  changed_.notifyAll();
}

void AsyncRequest::complete(DWORD bytes) {
  const std::lock_guard guard(mutex_);
  completed_ = true;
  completion_ = {StepResult::Done, 0, bytes};
  changed_.notifyAll();
}

void AsyncRequest::failed(DWORD error) {
  const std::lock_guard guard(mutex_);
  completed_ = true;
  completion_ = {StepResult::Failed, error};
  changed_.notifyAll();
}

} // namespace brennow::vmserver::vsphere
