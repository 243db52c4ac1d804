// A port as the user names it, made what the program's dialogs open on this thread: a
// device path is mapped, and the mapping is undone when this goes (what was mapped before
// comes back, so that selections may nest).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace cli {

class PortSelection {
 public:
  // name: a port as ParsePortName takes it; empty: the one kept in Pelto.cfg.
  explicit PortSelection(const std::string& name);
  ~PortSelection();
  PortSelection(const PortSelection&) = delete;
  PortSelection& operator=(const PortSelection&) = delete;

  // The port index the dialogs open: COM(index + 1).
  std::int32_t Index() const { return index_; }
  // The port as every line names it.
  const std::string& Label() const { return label_; }
  // COM<n> opens device too, until this goes.
  void Map(int n, const std::string& device);

 private:
  std::int32_t index_ = 0;
  std::string label_;
  std::vector<std::pair<int, std::string>> earlier_;  // COM number, its device before
};

}  // namespace cli
