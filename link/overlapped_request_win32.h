// One overlapped request on a port (a read, a write, a wait for line events) and everything
// the system may write into until the request has ended: its OVERLAPPED, its event, its event
// mask and its bytes. Windows requires all of them to stay valid until then, however long a
// driver takes, so a request that a driver never ends is kept, never freed under it.
#pragma once

#include <windows.h>

#include <cstddef>
#include <memory>
#include <vector>

namespace comm {

class OverlappedRequest {
 public:
  // Null when the system has no event to give it.
  static std::unique_ptr<OverlappedRequest> Make();
  ~OverlappedRequest();
  OverlappedRequest(const OverlappedRequest&) = delete;
  OverlappedRequest& operator=(const OverlappedRequest&) = delete;

  // The record for the next request, cleared; only while none is under way.
  OVERLAPPED* Start();
  // The record of the request under way, or of the last one.
  OVERLAPPED* Overlapped() { return &overlapped_; }
  HANDLE Event() const { return event_; }
  DWORD* EventMask() { return &eventMask_; }
  // Room for size bytes to move; only while no request is under way.
  unsigned char* Bytes(std::size_t size);
  const unsigned char* Bytes() const { return bytes_.data(); }
  // True once the request under way has ended, its results written.
  bool Ended() const { return WaitForSingleObject(event_, 0) == WAIT_OBJECT_0; }

 private:
  explicit OverlappedRequest(HANDLE event) : event_(event) {}

  OVERLAPPED overlapped_{};
  HANDLE event_;  // manual reset, as GetOverlappedResult needs
  DWORD eventMask_ = 0;
  std::vector<unsigned char> bytes_;
};

// How a request that had begun came to its end.
struct RequestEnd {
  DWORD bytes = 0;         // what it moved, cancelled or not
  bool cancelled = false;  // it had not ended within its wait, and was ended
  bool ended = true;       // false: not even then, within the bound; it must be kept
};

// Waits at most waitMs for a request under way (ReadFile, WriteFile or WaitCommEvent started,
// or done at once). One still pending then is ended: by endFirst, when given (SetCommMask ends
// a WaitCommEvent, as its documentation says), then by CancelIoEx. A driver may take its time
// to end a cancelled request, or never do it, so each is waited for at most endBoundMs.
RequestEnd FinishRequest(HANDLE port, OverlappedRequest& request, DWORD waitMs, DWORD endBoundMs,
                         BOOL (*endFirst)(HANDLE port) = nullptr);

// Keeps a request that has not ended, with all it owns, until it has: the driver may still
// write into it when it ends at last. Safe from any thread.
void KeepUntilEnded(std::unique_ptr<OverlappedRequest> request);

}  // namespace comm
