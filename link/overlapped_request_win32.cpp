#include "link/overlapped_request_win32.h"

#include <algorithm>

namespace comm {

std::unique_ptr<OverlappedRequest> OverlappedRequest::Make() {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) {
    return nullptr;
  }
  return std::unique_ptr<OverlappedRequest>(new OverlappedRequest(event));
}

OverlappedRequest::~OverlappedRequest() {
  CloseHandle(event_);
}

OVERLAPPED* OverlappedRequest::Start() {
  overlapped_ = OVERLAPPED{};
  overlapped_.hEvent = event_;
  eventMask_ = 0;
  return &overlapped_;
}

unsigned char* OverlappedRequest::Bytes(std::size_t size) {
  if (bytes_.size() < size) {
    bytes_.resize(size);
  }
  return bytes_.data();
}

RequestEnd FinishRequest(HANDLE port, OverlappedRequest& request, DWORD waitMs, DWORD endBoundMs,
                         BOOL (*endFirst)(HANDLE port)) {
  RequestEnd end;
  // One done at once is not waited for: its result is there, whatever its event says.
  if (!HasOverlappedIoCompleted(request.Overlapped()) &&
      WaitForSingleObject(request.Event(), waitMs) != WAIT_OBJECT_0) {
    end.cancelled = true;
    bool ended = endFirst != nullptr && endFirst(port) &&
                 WaitForSingleObject(request.Event(), endBoundMs) == WAIT_OBJECT_0;
    if (!ended) {
      // "Continues toward completion" after CancelIoEx, as a driver sees fit: not unbounded.
      CancelIoEx(port, request.Overlapped());
      ended = WaitForSingleObject(request.Event(), endBoundMs) == WAIT_OBJECT_0;
    }
    if (!ended) {
      end.ended = false;
      return end;
    }
  }
  // A request ended by a cancel fails, yet still says what it moved before.
  DWORD bytes = 0;
  GetOverlappedResult(port, request.Overlapped(), &bytes, FALSE);
  end.bytes = bytes;
  return end;
}

void KeepUntilEnded(std::unique_ptr<OverlappedRequest> request) {
  // Never freed as a whole: at exit a request may still be under way.
  static auto* const kept = new std::vector<std::unique_ptr<OverlappedRequest>>();
  static SRWLOCK guard = SRWLOCK_INIT;
  struct Lock {
    Lock() { AcquireSRWLockExclusive(&guard); }
    ~Lock() { ReleaseSRWLockExclusive(&guard); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
  } lock;
  kept->erase(
      std::remove_if(kept->begin(), kept->end(),
                     [](const std::unique_ptr<OverlappedRequest>& r) { return r->Ended(); }),
      kept->end());
  kept->push_back(std::move(request));
}

}  // namespace comm
