#include "ui/headless/headless_host.h"

#include <algorithm>
#include <new>

namespace ui {

namespace {

class Dispatcher : public Host {
 public:
  using Host::Command;
  using Host::ControlKeyDown;
  using Host::Detach;
  using Host::Init;
  using Host::PreviewKey;
  using Host::Timer;
};

constexpr unsigned kReturnKey = 0x0D;
constexpr unsigned kMessageReadMs = 1000;
constexpr unsigned kEscapeKey = 0x1B;

bool IsRadio(const ControlTemplate& control) {
  return control.kind == "AUTORADIOBUTTON";
}

}  // namespace

HeadlessWindow::HeadlessWindow(HeadlessHost& host, Dialog& dialog, const DialogTemplate& source,
                               int owner)
    : host_(host), dialog_(dialog), source_(source), owner_(owner), caption_(source.caption) {
  for (const ControlTemplate& control : source_.controls) {
    if (control.id != -1) {
      ControlState state;
      state.source = control;
      state.text = control.text;
      state.visible = !control.HasStyle("NOT WS_VISIBLE");
      state.enabled = !control.HasStyle("WS_DISABLED");
      controls_[control.id] = state;
    }
  }
}

ControlState* HeadlessWindow::Find(int id) {
  const auto control = controls_.find(id);
  return control == controls_.end() ? nullptr : &control->second;
}

const ControlState* HeadlessWindow::Find(int id) const {
  const auto control = controls_.find(id);
  return control == controls_.end() ? nullptr : &control->second;
}

std::string HeadlessWindow::Text(int id) const {
  const ControlState* control = Find(id);
  return control ? control->text : std::string();
}

bool HeadlessWindow::ItemVisible(int id) const {
  const ControlState* control = Find(id);
  return control != nullptr && control->visible;
}

bool HeadlessWindow::ItemEnabled(int id) const {
  const ControlState* control = Find(id);
  return control != nullptr && control->enabled;
}

std::vector<std::string> HeadlessWindow::ListItems(int id) const {
  const ControlState* control = Find(id);
  return control ? control->items : std::vector<std::string>();
}

int HeadlessWindow::Progress(int id) const {
  const ControlState* control = Find(id);
  return control ? control->progress : 0;
}

std::vector<int> HeadlessWindow::RunningTimers() const {
  std::vector<int> ids;
  for (const auto& timer : timers_) {
    ids.push_back(timer.first);
  }
  return ids;
}

void HeadlessWindow::SetItemText(int id, const std::string& text) {
  if (ControlState* control = Find(id)) {
    control->text = text;
    textHistory_[id].push_back(text);
  }
}

void HeadlessWindow::CheckRadio(int firstId, int lastId, int checkedId) {
  for (auto& [id, control] : controls_) {
    if (id >= firstId && id <= lastId) {
      control.checked = id == checkedId;
    }
  }
}

bool HeadlessWindow::IsChecked(int id) const {
  const ControlState* control = Find(id);
  return control != nullptr && control->checked;
}

void HeadlessWindow::SetListItems(int id, const std::vector<std::string>& items) {
  if (ControlState* control = Find(id)) {
    control->items = items;
    control->selection = -1;
  }
}

void HeadlessWindow::SelectListItem(int id, int index) {
  // Like the control: an index it has no item for selects none.
  if (ControlState* control = Find(id)) {
    control->selection =
        index >= 0 && static_cast<std::size_t>(index) < control->items.size() ? index : -1;
  }
}

int HeadlessWindow::ListSelection(int id) const {
  const ControlState* control = Find(id);
  return control ? control->selection : -1;
}

void HeadlessWindow::EnableItem(int id, bool enabled) {
  if (ControlState* control = Find(id)) {
    control->enabled = enabled;
  }
}

void HeadlessWindow::SetProgress(int id, int position) {
  // A progress bar keeps its position inside its range of 0 to 100.
  if (ControlState* control = Find(id)) {
    control->progress = std::clamp(position, 0, 100);
    progressHistory_.push_back(control->progress);
  }
}

void HeadlessWindow::ShowItem(int id, bool visible) {
  if (ControlState* control = Find(id)) {
    control->visible = visible;
  }
}

void HeadlessWindow::Pause(unsigned milliseconds) {
  pauses_.push_back(milliseconds);
  host_.now_ += milliseconds;
}

void HeadlessWindow::SetTimer(int id, unsigned periodMs) {
  timers_[id] = TimerState{periodMs, host_.now_ + periodMs};
}

void HeadlessWindow::ShowMessage(const std::string& text, const std::string& caption) {
  if (host_.messageFailures_ > 0) {
    --host_.messageFailures_;
    throw std::bad_alloc();
  }
  Event event{Event::kMessage};
  event.ownerTemplate = source_.id;
  event.text = text;
  event.caption = caption;
  event.time = host_.now_;
  host_.transcript_.push_back(event);
  // The user reads it for a moment. Meanwhile, as the real message box's own loop does, the
  // running dialogs' timers go on firing: a step that left its timer running runs again.
  if (!host_.inMessage_) {
    host_.inMessage_ = true;
    host_.AdvanceClock(kMessageReadMs);
    host_.inMessage_ = false;
  }
}

bool HeadlessWindow::AskFileName(const FileDialogRequest& request, bool save, std::string& path) {
  Event event{save ? Event::kSaveFile : Event::kOpenFile};
  event.ownerTemplate = source_.id;
  event.text = request.title;
  event.request = request;
  std::optional<std::string> answer;
  if (!host_.fileAnswers_.empty()) {
    answer = host_.fileAnswers_.front();
    host_.fileAnswers_.pop_front();
  }
  event.result = answer ? kIdOk : kIdCancel;
  host_.transcript_.push_back(event);
  if (!answer) {
    return false;
  }
  path = *answer;
  return true;
}

void HeadlessWindow::End(int result) {
  if (!ended_) {
    ended_ = true;
    result_ = result;
    timers_.clear();
  }
}

void HeadlessWindow::Click(int id) {
  ControlState* control = Find(id);
  if (control == nullptr || !control->enabled || ended_) {
    return;
  }
  if (IsRadio(control->source)) {
    // An automatic radio button checks itself and clears the others of its run.
    const auto& all = source_.controls;
    const auto self =
        std::find_if(all.begin(), all.end(), [id](const ControlTemplate& c) { return c.id == id; });
    auto begin = self;
    while (begin != all.begin() && IsRadio(*(begin - 1)) && !begin->HasStyle("WS_GROUP")) {
      --begin;
    }
    auto end = self + 1;
    while (end != all.end() && IsRadio(*end) && !end->HasStyle("WS_GROUP")) {
      ++end;
    }
    for (auto it = begin; it != end; ++it) {
      controls_[it->id].checked = it->id == id;
    }
  }
  focus_ = id;
  Dispatcher::Command(dialog_, id);
}

void HeadlessWindow::Choose(int id, int index) {
  ControlState* control = Find(id);
  if (control == nullptr || !control->enabled || ended_ || index < 0 ||
      static_cast<std::size_t>(index) >= control->items.size()) {
    return;
  }
  focus_ = id;
  const bool changed = control->selection != index;
  control->selection = index;
  if (changed) {
    Dispatcher::Command(dialog_, id);  // the list tells its dialog of a new choice only
  }
}

void HeadlessWindow::KeyDown(unsigned virtualKey) {
  if (ended_) {
    return;
  }
  const bool captured = std::find(captured_.begin(), captured_.end(), focus_) != captured_.end();
  if (captured && Dispatcher::PreviewKey(dialog_, focus_, virtualKey)) {
    return;
  }
  if (captured) {
    // Like the real control, a multi-line edit box closes its dialog on Esc by itself.
    const ControlState* box = Find(focus_);
    if (virtualKey == kEscapeKey && box != nullptr && box->source.HasStyle("ES_MULTILINE")) {
      Dispatcher::Command(dialog_, kIdCancel);
    }
    Dispatcher::ControlKeyDown(dialog_, focus_, virtualKey);
  } else if (virtualKey == kReturnKey) {
    Dispatcher::Command(dialog_, kIdOk);
  } else if (virtualKey == kEscapeKey) {
    Dispatcher::Command(dialog_, kIdCancel);
  }
}

void HeadlessWindow::PressEnter() {
  KeyDown(kReturnKey);
}

void HeadlessWindow::PressEscape() {
  KeyDown(kEscapeKey);
}

void HeadlessWindow::CloseBox() {
  // Like the dialog manager: the close box is the Cancel command, and a window without a
  // system menu has no close box.
  if (source_.HasStyle("WS_SYSMENU")) {
    PressEscape();
  }
}

HeadlessHost::HeadlessHost(const TemplateLibrary& library)
    : library_(library), previous_(Host::Install(this)) {}

HeadlessHost::~HeadlessHost() {
  Host::Install(previous_);
}

void HeadlessHost::Click(int id) {
  Then([id](HeadlessWindow& window) { window.Click(id); });
}

void HeadlessHost::Choose(int id, int index) {
  Then([id, index](HeadlessWindow& window) { window.Choose(id, index); });
}

void HeadlessHost::SetFocus(int id) {
  Then([id](HeadlessWindow& window) { window.SetFocus(id); });
}

void HeadlessHost::KeyDown(unsigned virtualKey) {
  Then([virtualKey](HeadlessWindow& window) { window.KeyDown(virtualKey); });
}

void HeadlessHost::PressEnter() {
  Then([](HeadlessWindow& window) { window.PressEnter(); });
}

void HeadlessHost::PressEscape() {
  Then([](HeadlessWindow& window) { window.PressEscape(); });
}

void HeadlessHost::CloseBox() {
  Then([](HeadlessWindow& window) { window.CloseBox(); });
}

void HeadlessHost::Advance(unsigned milliseconds) {
  Then([this, milliseconds](HeadlessWindow&) { AdvanceClock(milliseconds); });
}

void HeadlessHost::AdvanceClock(unsigned milliseconds) {
  const unsigned long long target = now_ + milliseconds;
  for (;;) {
    HeadlessWindow* next = nullptr;
    int nextId = 0;
    unsigned long long due = target + 1;
    for (HeadlessWindow* window : running_) {
      if (window->ended_) {
        now_ = target;
        return;  // its modal loop ends before anything else is delivered
      }
      for (const auto& [id, timer] : window->timers_) {
        if (timer.due < due) {
          due = timer.due;
          next = window;
          nextId = id;
        }
      }
    }
    if (next == nullptr) {
      break;
    }
    now_ = due;
    auto& timer = next->timers_[nextId];
    timer.due += std::max(timer.period, 1u);
    Dispatcher::Timer(next->dialog_, nextId);
  }
  now_ = std::max(now_, target);
}

std::vector<Event> HeadlessHost::Messages() const {
  std::vector<Event> messages;
  std::copy_if(transcript_.begin(), transcript_.end(), std::back_inserter(messages),
               [](const Event& event) { return event.kind == Event::kMessage; });
  return messages;
}

const HeadlessWindow* HeadlessHost::LastEnded(int templateId) const {
  for (auto it = ended_.rbegin(); it != ended_.rend(); ++it) {
    if ((*it)->TemplateId() == templateId) {
      return it->get();
    }
  }
  return nullptr;
}

int HeadlessHost::RunModal(Dialog& dialog) {
  const DialogTemplate* source = library_.Find(dialog.TemplateId());
  if (source == nullptr) {
    return -1;  // as the dialog manager does for a missing template
  }
  const int owner = dialog.HasOwner() && !running_.empty() ? running_.back()->TemplateId() : 0;
  auto window = std::make_unique<HeadlessWindow>(*this, dialog, *source, owner);
  HeadlessWindow& current = *window;
  running_.push_back(&current);
  Event shown{Event::kDialogShown};
  shown.ownerTemplate = owner;
  shown.result = source->id;
  transcript_.push_back(shown);

  Dispatcher::Init(dialog, &current);
  while (!current.ended_) {
    if (steps_.empty()) {
      Event stalled{Event::kStalled};
      stalled.ownerTemplate = source->id;
      transcript_.push_back(stalled);
      current.End(-1);
      break;
    }
    Step step = std::move(steps_.front());
    steps_.pop_front();
    step(current);
  }
  running_.pop_back();
  Dispatcher::Detach(dialog);
  Event ended{Event::kDialogEnded};
  ended.ownerTemplate = source->id;
  ended.result = current.result_;
  transcript_.push_back(ended);
  const int result = current.result_;
  ended_.push_back(std::move(window));
  return result;
}

void HeadlessHost::ShowMessage(const std::string& text, const std::string& caption) {
  Event event{Event::kMessage};
  event.text = text;
  event.caption = caption;
  transcript_.push_back(event);
}

}  // namespace ui
