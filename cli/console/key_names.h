// The remote keys by name, for the command line: each key button's caption as the panel
// shows it, and a plain-ASCII name for shells and scripts.
#pragma once

#include <optional>
#include <string_view>

namespace cli {

struct KeyName {
  const char* caption;  // as on the panel's button, without its mnemonic mark
  const char* name;     // ASCII, e.g. CH_UP for "CH▲"
  int controlId;
};

extern const KeyName kKeyNames[32];

// The panel button for a caption or a name; ASCII letters match in either case.
std::optional<int> KeyButtonForName(std::string_view text);

}  // namespace cli
