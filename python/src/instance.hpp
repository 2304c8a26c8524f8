// Instances of the module's classes: one record value plus a borrow flag,
// the shared/exclusive borrow guards, allocation and deallocation.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "convert.hpp"
#include "error.hpp"
#include "py_values.hpp"
#include "ref.hpp"

namespace korvanta::py {

// Memory layout of an instance. The borrow flag is 0 when free, n > 0 for n
// shared borrows, -1 for one exclusive borrow. `constructed` is set once
// `value` is built: the classes are mutable, so a replaced __new__ can make
// an instance through object.__new__, whose zeroed memory holds no record.
//
// The last two fields belong to the korvanta package (korvanta._native),
// never read or written by this module's own members: the tracer a span was
// started with (a strong reference, or null) and the package's flags.
template <class T>
struct Instance {
  PyObject_HEAD
  T value;
  std::atomic<std::intptr_t> borrow;
  bool constructed;
  std::atomic<std::uint8_t> package_flags;
  PyObject* package_tracer;
};

inline constexpr std::intptr_t kExclusive = -1;

// A class of this module is described by a traits type:
//   struct TracerClass {
//     using Value = TracerRecord;
//     static constexpr std::string_view name = "DURUraTracer";
//     static PyTypeObject* type();   // the class object made at start-up
//   };
template <class C>
Instance<typename C::Value>* instance_of(PyObject* obj) noexcept {
  return reinterpret_cast<Instance<typename C::Value>*>(obj);
}

// Holds a shared borrow of a receiver until destroyed. The object itself is
// kept alive by whoever handed it in (the call's arguments, or a reference
// the entry holds) for at least as long as the guard.
template <class C>
class Shared {
 public:
  explicit Shared(PyObject* obj) noexcept : obj_(obj) {}
  Shared(Shared&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Shared& operator=(Shared&&) = delete;
  ~Shared() {
    if (obj_ != nullptr) instance_of<C>(obj_)->borrow.fetch_sub(1, std::memory_order_release);
  }
  const typename C::Value& operator*() const noexcept { return instance_of<C>(obj_)->value; }
  const typename C::Value* operator->() const noexcept { return &**this; }

 private:
  PyObject* obj_;
};

// Holds the exclusive borrow of a receiver until destroyed; the object is
// kept alive as for Shared.
template <class C>
class Exclusive {
 public:
  explicit Exclusive(PyObject* obj) noexcept : obj_(obj) {}
  Exclusive(Exclusive&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Exclusive& operator=(Exclusive&&) = delete;
  ~Exclusive() {
    if (obj_ != nullptr) instance_of<C>(obj_)->borrow.store(0, std::memory_order_release);
  }
  typename C::Value& operator*() const noexcept { return instance_of<C>(obj_)->value; }
  typename C::Value* operator->() const noexcept { return &**this; }

 private:
  PyObject* obj_;
};

[[gnu::cold]] inline Error unconstructed_error(std::string_view name) {
  std::string message(name);
  message += " object was not created by its module and holds no record";
  return Error(PyExc_TypeError, std::move(message));
}

template <class C>
void check_receiver(PyObject* obj) {
  // The classes cannot be subclassed, so the exact type nearly always
  // matches; the subtype walk only runs to reject a foreign receiver.
  if (!Py_IS_TYPE(obj, C::type()) && !PyType_IsSubtype(Py_TYPE(obj), C::type())) {
    raise(conversion_error(obj, C::name));
  }
  if (!instance_of<C>(obj)->constructed) [[unlikely]] raise(unconstructed_error(C::name));
}

template <class C>
Shared<C> borrow_shared(PyObject* obj) {
  check_receiver<C>(obj);
  auto& flag = instance_of<C>(obj)->borrow;
  std::intptr_t current = flag.load(std::memory_order_relaxed);
  do {
    if (current == kExclusive) raise(PyExc_RuntimeError, "Already mutably borrowed");
  } while (!flag.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                       std::memory_order_relaxed));
  return Shared<C>(obj);
}

template <class C>
Exclusive<C> borrow_exclusive(PyObject* obj) {
  check_receiver<C>(obj);
  std::intptr_t expected = 0;
  if (!instance_of<C>(obj)->borrow.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                                           std::memory_order_relaxed)) {
    raise(PyExc_RuntimeError, "Already borrowed");
  }
  return Exclusive<C>(obj);
}

// A read-only property body: under a shared borrow, the Python value of
// std::invoke(Read, record). Read is a member pointer for a plain field or
// accessor (property<SpanClass, &TraceSpan::prompt>, as nanobind's def_ro),
// or a function of the record for a value worked out from it.
template <class C, auto Read>
Ref property(PyObject* obj) {
  const Shared<C> borrowed = borrow_shared<C>(obj);
  return to_python(std::invoke(Read, *borrowed));
}

// Frees an instance whose value was never constructed.
inline void free_without_value(PyObject* obj) noexcept {
  PyTypeObject* type = Py_TYPE(obj);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(obj);
  Py_DECREF(type);
}

// A new instance of `type` (the class or, for __new__, the class passed in)
// whose value `make()` builds in place. Allocation failure raises the
// interpreter's exception before `make` runs; a fault in `make` frees the
// instance and propagates.
template <class C, class Make>
Ref new_instance_from(PyTypeObject* type, Make&& make) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  if (alloc == nullptr) alloc = PyType_GenericAlloc;
  PyObject* obj = alloc(type, 0);
  raise_if(obj == nullptr);
  auto* inst = instance_of<C>(obj);
  try {
    // make() is a prvalue: the record is built right in the instance.
    ::new (static_cast<void*>(&inst->value)) typename C::Value(std::forward<Make>(make)());
  } catch (...) {
    free_without_value(obj);
    throw;
  }
  std::construct_at(&inst->borrow, 0);
  std::construct_at(&inst->package_flags, std::uint8_t{0});
  inst->package_tracer = nullptr;
  inst->constructed = true;
  return Ref::steal(obj);
}

// A new instance of `type` holding `value`.
template <class C>
Ref new_instance(PyTypeObject* type, typename C::Value value) {
  return new_instance_from<C>(type, [&] { return std::move(value); });
}

// Deallocation that stays flat however deeply instances nest (a wrapper of
// a wrapper of ...): past a fixed depth, instances are queued and released by
// the outermost deallocation, as the interpreter's own trashcan does for its
// containers (whose list lives in the collector's header, which these types
// do not have). The queue is guarded by the interpreter lock.
class DeallocQueue {
 public:
  template <class Release>
  void run(PyObject* obj, Release release) {
    if (depth_ >= kMaxDepth && defer<Release>(obj)) return;
    ++depth_;
    release(obj);
    if (depth_ == 1) {
      while (!pending_.empty()) {
        auto [next, next_release] = pending_.back();
        pending_.pop_back();
        next_release(next);
      }
    }
    --depth_;
  }

 private:
  static constexpr int kMaxDepth = 50;
  using ReleaseFn = void (*)(PyObject*);
  template <class Release>
  bool defer(PyObject* obj) {
    try {
      pending_.emplace_back(obj, +Release{});
      return true;
    } catch (const std::bad_alloc&) {
      return false;  // released right away, one level deeper
    }
  }
  int depth_ = 0;
  std::vector<std::pair<PyObject*, ReleaseFn>> pending_;
};

inline DeallocQueue& dealloc_queue() {
  static DeallocQueue queue;
  return queue;
}

// tp_dealloc: destroys the record (releasing every text, list, map and
// Python reference it owns), frees the memory and drops the type reference
// that every heap-type instance holds. An instance that never got its record
// only has its memory freed. Not noexcept, as an entry (see guarded()).
template <class C>
void dealloc(PyObject* obj) {
  constexpr auto release = [](PyObject* o) {
    auto* inst = instance_of<C>(o);
    if (inst->constructed) std::destroy_at(&inst->value);
    if (inst->package_tracer != nullptr) Ref::drop(inst->package_tracer);
    free_without_value(o);
  };
  dealloc_queue().run(obj, release);
}

}  // namespace korvanta::py
