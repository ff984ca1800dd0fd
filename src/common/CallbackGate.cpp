#include "common/CallbackGate.h"

#include <algorithm>
#include <atomic>

#include "common/Mutex.h"

namespace kestal {
namespace {

struct Running {
  std::thread::id thread;
  const char* name;
  int depth;
};

struct GateState {
  Mutex mutex;
  CondVar changed;  // a callback returned, a worker ended, a callback was given up
  bool closed GUARDED_BY(mutex) = false;
  std::vector<Running> running GUARDED_BY(mutex);
  std::vector<std::thread::id> given_up GUARDED_BY(mutex);
  std::vector<std::thread::id> finished
      GUARDED_BY(mutex);  // workers whose body returned, until they are joined
  std::vector<std::thread> parked GUARDED_BY(mutex);
};

GateState& State() {
  static GateState* const state = new GateState();  // never destroyed: see the header
  return *state;
}

std::atomic<bool> g_shut{false};

template <typename T>
bool Holds(const std::vector<T>& list, const T& value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

template <typename T>
void Drop(std::vector<T>& list, const T& value) {
  list.erase(std::remove(list.begin(), list.end(), value), list.end());
}

std::vector<Running>::iterator FindRunning(GateState& s, std::thread::id thread) REQUIRES(s.mutex) {
  return std::find_if(s.running.begin(), s.running.end(),
                      [&](const Running& r) { return r.thread == thread; });
}

}  // namespace

bool CallbackGate::Enter(const char* name) {
  if (g_shut.load(std::memory_order_acquire)) return false;
  GateState& s = State();
  const std::thread::id me = std::this_thread::get_id();
  MutexLock lock(s.mutex);
  if (s.closed || Holds(s.given_up, me)) return false;
  auto it = FindRunning(s, me);
  if (it != s.running.end())
    ++it->depth;
  else
    s.running.push_back({me, name, 1});
  return true;
}

void CallbackGate::Leave() {
  GateState& s = State();
  {
    MutexLock lock(s.mutex);
    auto it = FindRunning(s, std::this_thread::get_id());
    if (it != s.running.end() && --it->depth == 0) s.running.erase(it);
  }
  s.changed.NotifyAll();
}

void CallbackGate::Open() {
  GateState& s = State();
  MutexLock lock(s.mutex);
  s.closed = false;
}

void CallbackGate::Close() {
  GateState& s = State();
  MutexLock lock(s.mutex);
  s.closed = true;
}

std::vector<std::string> CallbackGate::GiveUpAfter(std::chrono::milliseconds timeout) {
  GateState& s = State();
  std::vector<std::string> names;
  {
    MutexLock lock(s.mutex);
    s.changed.WaitFor(lock, timeout, [&]() REQUIRES(s.mutex) { return s.running.empty(); });
    for (const Running& r : s.running) {
      if (!Holds(s.given_up, r.thread)) s.given_up.push_back(r.thread);
      names.push_back(r.name);
    }
  }
  s.changed.NotifyAll();  // joins waiting for these workers park them now
  return names;
}

void CallbackGate::Shut() { g_shut.store(true, std::memory_order_release); }

std::thread CallbackGate::StartWorker(std::function<void()> body) {
  return std::thread([body = std::move(body)] {
    body();
    GateState& s = State();
    {
      MutexLock lock(s.mutex);
      s.finished.push_back(std::this_thread::get_id());
    }
    s.changed.NotifyAll();
  });
}

bool CallbackGate::JoinWorker(std::thread& worker) {
  if (!worker.joinable()) return false;
  GateState& s = State();
  const std::thread::id id = worker.get_id();
  {
    MutexLock lock(s.mutex);
    s.changed.Wait(
        lock, [&]() REQUIRES(s.mutex) { return Holds(s.finished, id) || Holds(s.given_up, id); });
    if (!Holds(s.finished, id)) {
      s.parked.push_back(std::move(worker));
      return false;
    }
    Drop(s.finished, id);
    Drop(s.given_up, id);
  }
  worker.join();  // its body has returned: this takes no time
  return true;
}

void CallbackGate::JoinParkedWorkers() {
  GateState& s = State();
  std::vector<std::thread> parked;
  {
    MutexLock lock(s.mutex);
    parked.swap(s.parked);
  }
  for (std::thread& worker : parked) {
    const std::thread::id id = worker.get_id();
    worker.join();
    MutexLock lock(s.mutex);
    Drop(s.finished, id);
    Drop(s.given_up, id);
  }
}

}  // namespace kestal
