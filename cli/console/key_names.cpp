#include "cli/console/key_names.h"

#include "res/resource.h"

namespace cli {

const KeyName kKeyNames[32] = {
    {"POWER⊙", "POWER", IDC_KEY_POWER},
    {"INFO", "INFO", IDC_KEY_INFO},
    {"PAUSE", "PAUSE", IDC_KEY_PAUSE},
    {"TEXT", "TEXT", IDC_KEY_TEXT},
    {"UHF", "UHF", IDC_KEY_UHF},
    {"FAV▲", "FAV_UP", IDC_KEY_FAV_UP},
    {"FAV▼", "FAV_DOWN", IDC_KEY_FAV_DOWN},
    {"FAV", "FAV", IDC_KEY_FAV},
    {"AUDIO", "AUDIO", IDC_KEY_AUDIO},
    {"MUTE", "MUTE", IDC_KEY_MUTE},
    {"CH▲", "CH_UP", IDC_KEY_CH_UP},
    {"OK", "OK", IDC_KEY_OK},
    {"VOL-->", "VOL_RIGHT", IDC_KEY_VOL_RIGHT},
    {"<--VOL", "VOL_LEFT", IDC_KEY_VOL_LEFT},
    {"CH▼", "CH_DOWN", IDC_KEY_CH_DOWN},
    {"MENU", "MENU", IDC_KEY_MENU},
    {"EXIT", "EXIT", IDC_KEY_EXIT},
    {"RECALL", "RECALL", IDC_KEY_RECALL},
    {"TV/RADIO", "TV_RADIO", IDC_KEY_TV_RADIO},
    {"SAT/TV", "SAT_TV", IDC_KEY_SAT_TV},
    {"1", "1", IDC_KEY_1},
    {"2", "2", IDC_KEY_2},
    {"3", "3", IDC_KEY_3},
    {"4", "4", IDC_KEY_4},
    {"5", "5", IDC_KEY_5},
    {"6", "6", IDC_KEY_6},
    {"7", "7", IDC_KEY_7},
    {"8", "8", IDC_KEY_8},
    {"9", "9", IDC_KEY_9},
    {"P/N/S", "PNS", IDC_KEY_PNS},
    {"0", "0", IDC_KEY_0},
    {"EPG", "EPG", IDC_KEY_EPG},
};

namespace {

bool SameIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<int> KeyButtonForName(std::string_view text) {
  for (const KeyName& key : kKeyNames) {
    if (SameIgnoringAsciiCase(text, key.caption) || SameIgnoringAsciiCase(text, key.name)) {
      return key.controlId;
    }
  }
  return std::nullopt;
}

}  // namespace cli
