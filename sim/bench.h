// The boxes of a bench that go on the cable one after another, and the one on it now.
#pragma once

#include <cstddef>
#include <vector>

#include "sim/receiver_model.h"

namespace sim {

class Bench {
 public:
  // The first box is on the cable from the start.
  explicit Bench(std::vector<ReceiverModel*> boxes);

  // The box on the cable; null: none.
  ReceiverModel* OnCable() const { return onCable_; }
  // Its index (from 0), or the last one's while the cable is empty.
  std::size_t Box() const { return box_; }
  // The box goes silent, its flash kept; false when the cable was empty.
  bool TakeOff();
  // Puts the next box on the empty cable; false after the last, when it stays empty.
  bool PutNext();

 private:
  std::vector<ReceiverModel*> boxes_;
  ReceiverModel* onCable_;
  std::size_t box_ = 0;
  std::size_t next_ = 1;
};

}  // namespace sim
