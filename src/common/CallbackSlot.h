// One application callback and its user data, as a setter registers them.
//
// Thread safety: Set from any thread, the rest from the thread about to call back. The user data is
// stored before the function and read after it, so whoever sees a new function sees its user data
// (or a newer one).
#pragma once

#include <atomic>

namespace kestal {

template <typename Fn>
class CallbackSlot {
 public:
  // A null function switches the callback off. True when one is registered now.
  bool Set(Fn fn, void* user_data) {
    m_user_data = user_data;
    m_fn = fn;
    return fn != nullptr;
  }
  Fn Function() const { return m_fn; }
  void* UserData() const { return m_user_data; }

 private:
  std::atomic<Fn> m_fn{nullptr};
  std::atomic<void*> m_user_data{nullptr};
};

}  // namespace kestal
