#include "cli/serve/event_hub.h"

#include <algorithm>

#include <nlohmann/json.hpp>

namespace serve {

namespace {

// A bench of many ports makes a few hundred events a second at most; this is many seconds
// of them.
constexpr std::size_t kInboxLimit = 20000;
// About a minute of a busy bench's events: a client further behind has stopped reading.
constexpr std::size_t kClientBacklog = std::size_t{256} * 1024;

}  // namespace

EventHub::EventHub(const BenchFacts& facts, std::size_t clients)
    : maxClients_(clients),
      board_(facts),
      metrics_(facts.version, facts.action),
      dispatcher_([this] { Dispatch(); }) {}

EventHub::~EventHub() {
  Stop();
}

void EventHub::Publish(std::string line) {
  {
    const std::lock_guard<std::mutex> lock(inboxMutex_);
    if (stopping_) {
      return;
    }
    if (inbox_.size() >= kInboxLimit) {
      ++lost_;
      return;
    }
    inbox_.push_back(std::move(line));
  }
  inboxReady_.notify_one();
}

void EventHub::Dispatch() {
  std::deque<std::string> taken;
  for (;;) {
    std::uint64_t lost = 0;
    {
      std::unique_lock<std::mutex> lock(inboxMutex_);
      inboxReady_.wait(lock, [&] { return !inbox_.empty() || stopping_; });
      if (inbox_.empty()) {
        return;
      }
      taken.swap(inbox_);
      lost = lost_;
    }
    const auto now = BenchBoard::Clock::now();
    for (const std::string& line : taken) {
      const auto event = nlohmann::ordered_json::parse(line, nullptr, false);
      if (!event.is_object()) {
        continue;
      }
      const std::lock_guard<std::mutex> lock(mutex_);
      board_.Fold(event, line, now);
      metrics_.Fold(event);
      const auto before = clients_.size();
      std::erase_if(clients_, [&](const std::shared_ptr<EventClient>& client) {
        return !client->Push(line);
      });
      dropped_ += before - clients_.size();
      metrics_.Clients(clients_.size(), dropped_, lost);
    }
    taken.clear();
  }
}

std::shared_ptr<EventClient> EventHub::Subscribe() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (clients_.size() >= maxClients_) {
    return nullptr;
  }
  auto client = std::make_shared<EventClient>(kClientBacklog);
  client->PushAll(board_.Snapshot(BenchBoard::Clock::now()));
  clients_.push_back(client);
  return client;
}

void EventHub::Unsubscribe(const std::shared_ptr<EventClient>& client, bool stalled) {
  const std::lock_guard<std::mutex> lock(mutex_);
  // One the bench's side dropped is counted already.
  if (std::erase(clients_, client) > 0 && stalled) {
    ++dropped_;
  }
}

std::string EventHub::Metrics() {
  std::uint64_t lost = 0;
  {
    const std::lock_guard<std::mutex> lock(inboxMutex_);
    lost = lost_;
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  metrics_.Clients(clients_.size(), dropped_, lost);
  return metrics_.Text(board_.PortStates());
}

void EventHub::Stop() {
  {
    const std::lock_guard<std::mutex> lock(inboxMutex_);
    stopping_ = true;
  }
  inboxReady_.notify_all();
  if (dispatcher_.joinable()) {
    dispatcher_.join();
  }
  const std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& client : clients_) {
    client->Close();
  }
  clients_.clear();
}

}  // namespace serve
