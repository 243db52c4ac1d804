// Events, results and log lines are JSON values built field by field and written out once,
// one line each.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string>

namespace cli {

// A JSON value whose object keys keep the order in which they were added.
using Json = nlohmann::ordered_json;

// The value as one line of text. UTF-8 passes through; names of files and ports are bytes,
// not always UTF-8, and a byte that is not part of UTF-8 stands as U+FFFD, so that every
// line still parses. Control characters (DEL and U+0080 to U+009F too) are written as \u
// escapes, so that a line shown on a terminal does nothing there.
std::string JsonLine(const Json& value);

// A time or a rate as the events give it: one decimal is all it needs. A value that is no
// number is written as null.
double Tenths(double value);

// The text under key in an object; empty when there is none or it is no text.
std::string TextField(const Json& object, const char* key);

}  // namespace cli
