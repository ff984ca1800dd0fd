// The gate through which the library calls the application, and the start and join of the
// workers that may run those calls.
//
// A stop must not hang on an application callback that waits for the stopping thread (a
// Windows application hands an event synchronously to its UI thread, and the UI thread is the
// one calling Stop). So a stop closes the gate (no callback starts any more), waits a bounded
// time for the callbacks still running, and then gives them up: the worker running a given-up
// callback is not joined by the stop but parked (JoinWorker), and joined by JoinParkedWorkers
// once its callback has returned, at the next start. A given-up worker never calls back again;
// after its callback it finds its stop flag set and ends. The objects it uses live as long as
// the process, so it never touches freed state.
//
// Thread safety: every function may be called from any thread. The state is process-wide, made
// once and never destroyed: threads that process exit killed may have held its lock.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace kestal {

class CallbackGate {
 public:
  // Marks the calling thread as running the application callback `name` (a literal) while it
  // lives. Call the callback only when Admitted(): false while the gate is closed, after
  // Shut, or on a thread whose callback a stop gave up. Nests on one thread.
  class Scope {
   public:
    explicit Scope(const char* name) : m_admitted(Enter(name)) {}
    ~Scope() {
      if (m_admitted) Leave();
    }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    bool Admitted() const { return m_admitted; }

   private:
    bool m_admitted;
  };

  // Lets callbacks run again (the end of a stop).
  static void Open();
  // No callback starts from now on; those running go on.
  static void Close();
  // Waits up to `timeout` for the running callbacks to return. Those still running are given
  // up; their names (one per thread) are returned.
  static std::vector<std::string> GiveUpAfter(std::chrono::milliseconds timeout);
  // Refuses every callback from now on, touching no lock: the process is exiting.
  static void Shut();

  // Starts a worker that JoinWorker can join with a bounded wait.
  static std::thread StartWorker(std::function<void()> body);
  // Joins `worker` (started by StartWorker); a worker whose callback was given up is parked
  // instead, also while this join already waits. True when joined, false when parked or when
  // nothing ran.
  static bool JoinWorker(std::thread& worker);
  // Joins the parked workers, waiting for their callbacks to return.
  static void JoinParkedWorkers();

 private:
  static bool Enter(const char* name);
  static void Leave();
};

}  // namespace kestal
