#include "common/CallbackGate.h"

#include <algorithm>
#include <atomic>
#include <memory>

#include "common/Log.h"
#include "common/Mutex.h"

namespace kestal {
namespace {

// One start of a worker: the token by which its callbacks are given up and it is joined.
struct Worker {
  std::thread::id thread;             // unique among the threads not joined yet
  bool finished = false;              // its body has returned
  std::atomic<bool> given_up{false};  // a stop gave up its callback: it never calls back again
  std::thread parked;                 // the thread, once JoinWorker found it given up
};

// The workers of every gate, started and not yet joined.
struct WorkerRegistry {
  Mutex mutex;
  CondVar changed;  // a worker ended, or a callback of one was given up
  std::vector<std::unique_ptr<Worker>> workers GUARDED_BY(mutex);
};

WorkerRegistry& Registry() {
  static WorkerRegistry* const registry = new WorkerRegistry();  // never destroyed: see the header
  return *registry;
}

thread_local Worker* t_worker = nullptr;  // the worker this thread is, if StartWorker made it
thread_local int t_depth = 0;             // admitted scopes open on this thread
thread_local const CallbackGate* t_gate = nullptr;  // the gate of the innermost of them

}  // namespace

CallbackGate::Scope::Scope(CallbackGate& gate, const char* name)
    : m_gate(gate), m_outer_gate(t_gate), m_name(name), m_worker(t_worker) {
  m_admitted = m_gate.Enter(*this);
  if (m_admitted) t_gate = &m_gate;
}

// Left by an exception of the callback itself: only the bookkeeping, never a second throw.
CallbackGate::Scope::~Scope() {
  if (m_admitted) Exit();
}

void CallbackGate::Scope::Leave() {
  if (!m_admitted) return;
  m_admitted = false;
  if (Exit() && m_worker && t_depth == 0) throw GivenUp{m_name};
}

bool CallbackGate::Scope::Exit() {
  bool given_up;
  {
    MutexLock lock(m_gate.m_mutex);
    std::vector<Scope*>& running = m_gate.m_running;
    running.erase(std::remove(running.begin(), running.end(), this), running.end());
    given_up = m_given_up;
  }
  --t_depth;
  t_gate = m_outer_gate;
  m_gate.m_changed.NotifyAll();
  return given_up;
}

bool CallbackGate::Enter(Scope& scope) {
  if (m_shut.load(std::memory_order_acquire)) return false;
  MutexLock lock(m_mutex);
  if (m_closed || (t_worker && t_worker->given_up)) return false;
  m_running.push_back(&scope);
  scope.m_outermost = t_depth++ == 0;
  return true;
}

void CallbackGate::Open() {
  MutexLock lock(m_mutex);
  m_closed = false;
}

void CallbackGate::Close() {
  MutexLock lock(m_mutex);
  m_closed = true;
}

std::vector<std::string> CallbackGate::GiveUpAfter(std::chrono::milliseconds timeout) {
  std::vector<std::string> names;
  {
    MutexLock lock(m_mutex);
    m_changed.WaitFor(lock, timeout, [&]() REQUIRES(m_mutex) { return m_running.empty(); });
    for (Scope* scope : m_running) {
      // Nested calls on one thread are given up with their outermost one, named once.
      if (scope->m_outermost) names.push_back(scope->m_name);
      scope->m_given_up = true;
      if (scope->m_worker) static_cast<Worker*>(scope->m_worker)->given_up = true;
    }
  }
  // Joins waiting for these workers park them now (under the registry's lock, so that a join
  // that has just looked at the flag is already waiting).
  WorkerRegistry& registry = Registry();
  { MutexLock lock(registry.mutex); }
  registry.changed.NotifyAll();
  return names;
}

bool CallbackGate::InCallback() { return t_depth > 0; }

bool CallbackGate::InOwnCallback() const { return t_gate == this; }

bool CallbackGate::Busy() const {
  MutexLock lock(m_mutex);
  return !m_running.empty();
}

std::thread CallbackGate::StartWorker(std::function<void()> body) {
  WorkerRegistry& s = Registry();
  Worker* worker;
  {
    MutexLock lock(s.mutex);
    s.workers.push_back(std::make_unique<Worker>());
    worker = s.workers.back().get();
  }
  // The worker writes to the log file of the service that starts it.
  std::thread thread([worker, body = kestal::Log::Inheriting(std::move(body))] {
    t_worker = worker;
    try {
      body();
    } catch (const GivenUp& given_up) {
      // Its callback returned after a stop gave it up: the worker ends here, touching nothing.
      KLOG_DEBUG_AS("CallbackGate::StartWorker",
                    "Callback %s has returned after it was given up, its thread ends",
                    given_up.name);
    }
    WorkerRegistry& state = Registry();
    {
      MutexLock lock(state.mutex);
      worker->finished = true;
    }
    state.changed.NotifyAll();
  });
  MutexLock lock(s.mutex);
  worker->thread = thread.get_id();
  return thread;
}

bool CallbackGate::JoinWorker(std::thread& thread) {
  if (!thread.joinable()) return false;
  WorkerRegistry& s = Registry();
  const std::thread::id id = thread.get_id();
  {
    MutexLock lock(s.mutex);
    auto it = std::find_if(s.workers.begin(), s.workers.end(),
                           [&](const std::unique_ptr<Worker>& w) { return w->thread == id; });
    if (it != s.workers.end()) {
      Worker* worker = it->get();
      s.changed.Wait(lock,
                     [&]() REQUIRES(s.mutex) { return worker->finished || worker->given_up; });
      if (!worker->finished) {
        worker->parked = std::move(thread);
        return false;
      }
      // Workers started meanwhile may have moved the list: find it again.
      s.workers.erase(
          std::find_if(s.workers.begin(), s.workers.end(),
                       [&](const std::unique_ptr<Worker>& w) { return w.get() == worker; }));
    }
  }
  thread.join();  // its body has returned: this takes no time
  return true;
}

void CallbackGate::JoinEndedWorkers() {
  WorkerRegistry& s = Registry();
  std::vector<std::thread> ended;
  {
    MutexLock lock(s.mutex);
    for (auto it = s.workers.begin(); it != s.workers.end();) {
      if ((*it)->finished && (*it)->parked.joinable()) {
        ended.push_back(std::move((*it)->parked));
        it = s.workers.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (std::thread& thread : ended) thread.join();
}

}  // namespace kestal
