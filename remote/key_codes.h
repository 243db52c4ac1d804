// The remote control's keys: which button sends which key code, and which PC keys stand for
// remote keys in the capture box.
#pragma once

#include <cstdint>
#include <optional>

namespace remote {

struct KeyButton {
  int controlId;
  std::uint8_t code;
};

// The 32 key buttons of the panel; each code from 0 to 31 appears once.
extern const KeyButton kKeyButtons[32];

std::optional<std::uint8_t> KeyCodeForButton(int controlId);

// The remote key a key-down of this virtual-key code stands for in the capture box.
std::optional<std::uint8_t> KeyCodeForVirtualKey(unsigned virtualKey);

// What the capture box shows: how to use it, and the keys other than the digits.
extern const char kCaptureHelpText[];

}  // namespace remote
