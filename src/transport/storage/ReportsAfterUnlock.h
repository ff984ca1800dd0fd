// Holds the status reports raised while this thread holds a mailbox volume lock and makes them when
// the section ends: the owner's function runs the application's callback, which may call back into
// the transport and take that lock. Declared before the section's lock, so it reports after the
// lock is released; a nested section leaves its reports to the outermost one.
//
// Threads: each thread has its own section (thread_local); the report functions passed to Hold must
// remain live until the section ends (they are the storage transport's own).
#pragma once

#include <vector>

#include "common/StatusReport.h"

class ReportsAfterUnlock {
 public:
  ReportsAfterUnlock() : m_outer(t_held == nullptr) {
    if (m_outer) t_held = &m_reports;
  }
  // A report may end a worker whose callback a stop gave up (CallbackGate::GivenUp).
  ~ReportsAfterUnlock() noexcept(false) {
    if (!m_outer) return;
    t_held = nullptr;
    for (const Held& r : m_reports) ReportStatusTo(*r.report, r.status, r.text);
  }
  ReportsAfterUnlock(const ReportsAfterUnlock&) = delete;
  ReportsAfterUnlock& operator=(const ReportsAfterUnlock&) = delete;

  // False when this thread is in no such section: report now.
  static bool Hold(const StatusReportFn& report, unsigned int status, const char* text) {
    if (!t_held) return false;
    t_held->push_back({&report, status, text});
    return true;
  }

 private:
  struct Held {
    const StatusReportFn* report;
    unsigned int status;
    const char* text;
  };
  static thread_local std::vector<Held>* t_held;  // defined with StorageDiskLink
  const bool m_outer;
  std::vector<Held> m_reports;
};
