// The gate through which the library calls the application, and the start and join of the
// workers that may run those calls.
//
// A stop must not hang on an application callback that waits for the stopping thread (a
// Windows application hands an event synchronously to its UI thread, and the UI thread is the
// one calling Stop). So a stop closes the gate (no callback starts any more), waits a bounded
// time for the callbacks still running, and then gives them up.
//
// What is given up is the call, and with it the worker that made it, never a thread id (ids are
// reused): every worker started by StartWorker carries a token of its own. A given-up worker is
// not joined by the stop but parked (JoinWorker); it never calls back again, and it ends right
// where its callback returns: the gate throws GivenUp there, which only the worker's own body
// catches, so none of the library's code after the call runs on it (only destructors, which
// release scoped locks). The next start therefore starts new workers at once, and the parked
// thread is joined by the first JoinEndedWorkers that finds it ended. An application thread whose
// call was given up simply gets it back and is called again later, like any other thread.
//
// Each service has a gate of its own: one service's stop closes and gives up only its own
// callbacks. The workers' tokens are kept process-wide (the static functions), so a worker may end
// after the service that started it is gone.
//
// Thread safety: every function may be called from any thread. The workers' registry is made once
// and never destroyed: threads that process exit killed may have held its lock. A gate must remain
// live while a callback may pass it (the process-wide service never destroys its own).
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/Mutex.h"

namespace kestal {

class CallbackGate {
 public:
  // Thrown on a given-up worker when its callback returns; caught by StartWorker's body only.
  struct GivenUp {
    const char* name;  // the callback's
  };

  // Marks the calling thread as running the application callback `name` (a literal) while it
  // lives. Call the callback only when Admitted(): false while the gate is closed, after Shut,
  // or on a worker whose callback a stop gave up. Nests on one thread.
  class Scope {
   public:
    Scope(CallbackGate& gate, const char* name);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    bool Admitted() const { return m_admitted; }
    // Call right after the callback returned: ends the scope and, on a worker whose callback was
    // given up meanwhile, throws GivenUp (the outermost scope only, never from inside the
    // application's own frames).
    void Leave();

   private:
    friend class CallbackGate;
    // Takes the call off the running ones; true when a stop gave it up.
    bool Exit();

    CallbackGate& m_gate;
    const CallbackGate* m_outer_gate;  // the gate of the callback around this one on the thread
    const char* m_name;
    void* m_worker;  // the running worker's token, null on an application thread
    bool m_admitted = false;
    bool m_outermost = false;  // no other callback of this thread runs around it
    bool m_given_up = false;   // under the gate's lock
  };

  CallbackGate() = default;
  CallbackGate(const CallbackGate&) = delete;
  CallbackGate& operator=(const CallbackGate&) = delete;

  // Lets callbacks run again (the end of a stop).
  void Open() EXCLUDES(m_mutex);
  // No callback starts from now on; those running go on.
  void Close() EXCLUDES(m_mutex);
  // Waits up to `timeout` for the running callbacks to return. Those still running are given
  // up; their names are returned.
  std::vector<std::string> GiveUpAfter(std::chrono::milliseconds timeout) EXCLUDES(m_mutex);
  // Refuses every callback from now on, touching no lock: the process is exiting.
  void Shut() { m_shut.store(true, std::memory_order_release); }
  // True while the calling thread runs an application callback of any gate.
  static bool InCallback();
  // True while the calling thread runs an application callback of this gate (its service's Start
  // and Stop refuse it: they would wait for that callback).
  bool InOwnCallback() const;
  // True while a callback of this gate runs, given up or not.
  bool Busy() const EXCLUDES(m_mutex);

  // Starts a worker that JoinWorker can join with a bounded wait.
  static std::thread StartWorker(std::function<void()> body);
  // Joins `worker` (started by StartWorker): waits until it ends or its callback is given up; a
  // given-up worker is parked instead of joined. True when joined, false when parked or when
  // nothing ran.
  static bool JoinWorker(std::thread& worker);
  // Joins the parked workers that have ended; never waits for one that has not.
  static void JoinEndedWorkers();

 private:
  bool Enter(Scope& scope) EXCLUDES(m_mutex);

  mutable Mutex m_mutex;
  CondVar m_changed;  // a callback returned
  std::atomic<bool> m_shut{false};
  bool m_closed GUARDED_BY(m_mutex) = false;
  std::vector<Scope*> m_running GUARDED_BY(m_mutex);
};

}  // namespace kestal
