#include "remote/key_codes.h"

#include "res/resource.h"

namespace remote {

const KeyButton kKeyButtons[32] = {
    {IDC_KEY_POWER, 0x18},     {IDC_KEY_INFO, 0x1B},     {IDC_KEY_PAUSE, 0x09},
    {IDC_KEY_TEXT, 0x01},      {IDC_KEY_UHF, 0x0B},      {IDC_KEY_FAV_UP, 0x0D},
    {IDC_KEY_FAV_DOWN, 0x0C},  {IDC_KEY_FAV, 0x1C},      {IDC_KEY_AUDIO, 0x1A},
    {IDC_KEY_MUTE, 0x00},      {IDC_KEY_CH_UP, 0x02},    {IDC_KEY_OK, 0x06},
    {IDC_KEY_VOL_RIGHT, 0x05}, {IDC_KEY_VOL_LEFT, 0x07}, {IDC_KEY_CH_DOWN, 0x0A},
    {IDC_KEY_MENU, 0x1D},      {IDC_KEY_EXIT, 0x03},     {IDC_KEY_RECALL, 0x08},
    {IDC_KEY_TV_RADIO, 0x19},  {IDC_KEY_SAT_TV, 0x04},   {IDC_KEY_1, 0x17},
    {IDC_KEY_2, 0x16},         {IDC_KEY_3, 0x15},        {IDC_KEY_4, 0x14},
    {IDC_KEY_5, 0x13},         {IDC_KEY_6, 0x12},        {IDC_KEY_7, 0x11},
    {IDC_KEY_8, 0x10},         {IDC_KEY_9, 0x0F},        {IDC_KEY_PNS, 0x1F},
    {IDC_KEY_0, 0x0E},         {IDC_KEY_EPG, 0x1E},
};

std::optional<std::uint8_t> KeyCodeForButton(int controlId) {
  for (const KeyButton& button : kKeyButtons) {
    if (button.controlId == controlId) {
      return button.code;
    }
  }
  return std::nullopt;
}

std::optional<std::uint8_t> KeyCodeForVirtualKey(unsigned virtualKey) {
  // The digit keys run backwards on the receiver: digit d is code 24 - d, and 0 is 14.
  auto digit = [](unsigned d) -> std::uint8_t {
    return static_cast<std::uint8_t>(d == 0 ? 14 : 24 - d);
  };
  if (virtualKey >= 0x30 && virtualKey <= 0x39) {
    return digit(virtualKey - 0x30);  // main row
  }
  if (virtualKey >= 0x60 && virtualKey <= 0x69) {
    return digit(virtualKey - 0x60);  // keypad with Num Lock on
  }
  switch (virtualKey) {
    case 0x0D:
      return 0x06;  // Enter: OK
    case 0x1B:
      return 0x03;  // Esc: EXIT
    case 0x20:
      return 0x1D;  // Space: MENU
    case 0x25:
      return 0x07;  // Left: <--VOL
    case 0x26:
      return 0x02;  // Up: CH up
    case 0x27:
      return 0x05;  // Right: VOL-->
    case 0x28:
      return 0x0A;  // Down: CH down
    case 0x2E:
      return 0x03;  // Delete: EXIT
    default:
      return std::nullopt;
  }
}

const char kCaptureHelpText[] =
    "Set the Focus on me！\r\n"
    "And then Press the key as follow：\r\n"
    "\r\n"
    "KEY 'Left'  equal 'VOL left' key\r\n"
    "KEY 'Right' equal 'VOL right' key\r\n"
    "KEY 'Up'    equal 'CH up' key\r\n"
    "KEY 'Down'  equal 'CH down' key\r\n"
    "KEY 'Space' equal 'MENU' key\r\n"
    "KEY 'Enter' equal 'OK' key\r\n"
    "KEY 'Esc' or 'Delete' equal 'EXIT' key\r\n";

}  // namespace remote
