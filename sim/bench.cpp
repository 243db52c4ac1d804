#include "sim/bench.h"

#include <utility>

namespace sim {

Bench::Bench(std::vector<ReceiverModel*> boxes)
    : boxes_(std::move(boxes)), onCable_(boxes_.empty() ? nullptr : boxes_.front()) {}

bool Bench::TakeOff() {
  if (onCable_ == nullptr) {
    return false;
  }
  onCable_ = nullptr;
  return true;
}

bool Bench::PutNext() {
  if (next_ >= boxes_.size()) {
    return false;
  }
  // Sendings are the line's: the new box goes on counting.
  boxes_[next_]->ContinueSendings(boxes_[box_]->Sendings());
  box_ = next_++;
  onCable_ = boxes_[box_];
  return true;
}

}  // namespace sim
