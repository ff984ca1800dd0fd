// One application callback that both the exported class and the C interface may register, each
// with a function type of its own (an enum or a const the other lacks). The two share the slot: a
// registration through either replaces the other's, as a program that mixes them expects of one
// callback. Where the two types are the same, a plain CallbackSlot serves both.
//
// Thread safety: as CallbackSlot.
#pragma once

#include "common/CallbackSlot.h"

template <typename ClassFn, typename CFn>
class AppCallback {
 public:
  void SetClass(ClassFn fn, void* user_data) {
    m_c.Set(nullptr, nullptr);
    m_class.Set(fn, user_data);
  }
  void SetC(CFn fn, void* user_data) {
    m_class.Set(nullptr, nullptr);
    m_c.Set(fn, user_data);
  }
  bool Any() const { return m_class.Function() || m_c.Function(); }
  const kestal::CallbackSlot<ClassFn>& Class() const { return m_class; }
  const kestal::CallbackSlot<CFn>& C() const { return m_c; }

 private:
  kestal::CallbackSlot<ClassFn> m_class;
  kestal::CallbackSlot<CFn> m_c;
};
