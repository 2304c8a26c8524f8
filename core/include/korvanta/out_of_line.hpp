// OutOfLine<T> and OutOfLineVector<T>: an optional and a list whose contents
// live on the heap, one pointer wide, for record fields that are absent or
// empty in almost every record.
#pragma once

#include <concepts>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace korvanta {

// Reads and writes as std::optional<T> does (has_value, *, ->, assignment of
// a value or std::nullopt, comparison with a value), so a field can change
// between the two without its readers changing. An absent value costs the
// pointer only; a present one a heap block of its own.
template <class T>
class OutOfLine {
 public:
  using value_type = T;

  OutOfLine() noexcept = default;
  OutOfLine(std::nullopt_t) noexcept {}  // NOLINT: converts as std::optional's does
  template <class U = T>
    requires std::constructible_from<T, U&&> && (!std::same_as<std::remove_cvref_t<U>, OutOfLine>) &&
             (!std::same_as<std::remove_cvref_t<U>, std::nullopt_t>)
  OutOfLine(U&& v) : p_(std::make_unique<T>(std::forward<U>(v))) {}  // NOLINT: as std::optional's
  OutOfLine(const std::optional<T>& v) : p_(v ? std::make_unique<T>(*v) : nullptr) {}  // NOLINT

  OutOfLine(const OutOfLine& other) : p_(other.p_ ? std::make_unique<T>(*other.p_) : nullptr) {}
  OutOfLine(OutOfLine&&) noexcept = default;
  OutOfLine& operator=(const OutOfLine& other) {
    if (this != &other) *this = other.p_ ? OutOfLine(*other.p_) : OutOfLine();
    return *this;
  }
  OutOfLine& operator=(OutOfLine&&) noexcept = default;
  OutOfLine& operator=(std::nullopt_t) noexcept {
    reset();
    return *this;
  }
  // A present value is assigned in place; an absent one gets its block.
  template <class U = T>
    requires std::constructible_from<T, U&&> && std::assignable_from<T&, U&&> &&
             (!std::same_as<std::remove_cvref_t<U>, OutOfLine>) &&
             (!std::same_as<std::remove_cvref_t<U>, std::nullopt_t>)
  OutOfLine& operator=(U&& v) {
    if (p_) {
      *p_ = std::forward<U>(v);
    } else {
      p_ = std::make_unique<T>(std::forward<U>(v));
    }
    return *this;
  }
  OutOfLine& operator=(const std::optional<T>& v) {
    if (v) return *this = *v;
    reset();
    return *this;
  }

  template <class... Args>
  T& emplace(Args&&... args) {
    p_ = std::make_unique<T>(std::forward<Args>(args)...);
    return *p_;
  }
  void reset() noexcept { p_.reset(); }

  bool has_value() const noexcept { return p_ != nullptr; }
  explicit operator bool() const noexcept { return has_value(); }
  const T& operator*() const noexcept { return *p_; }
  T& operator*() noexcept { return *p_; }
  const T* operator->() const noexcept { return p_.get(); }
  T* operator->() noexcept { return p_.get(); }
  const T& value() const {
    if (!p_) throw std::bad_optional_access();
    return *p_;
  }
  template <class U>
  T value_or(U&& fallback) const {
    return p_ ? *p_ : static_cast<T>(std::forward<U>(fallback));
  }
  // A copy in the standard form, for code written against std::optional.
  std::optional<T> get() const { return p_ ? std::optional<T>(*p_) : std::nullopt; }
  operator std::optional<T>() const { return get(); }  // NOLINT: as get(), for such code

  friend bool operator==(const OutOfLine& a, std::nullopt_t) noexcept { return !a; }
  friend bool operator==(const OutOfLine& a, const OutOfLine& b) {
    return a && b ? *a == *b : a.has_value() == b.has_value();
  }
  friend bool operator==(const OutOfLine& a, const std::optional<T>& b) {
    return a && b ? *a == *b : a.has_value() == b.has_value();
  }
  template <class U>
    requires(!std::same_as<std::remove_cvref_t<U>, OutOfLine>) &&
            (!std::same_as<std::remove_cvref_t<U>, std::nullopt_t>) &&
            (!std::same_as<std::remove_cvref_t<U>, std::optional<T>>) && requires(const T& t, const U& u) {
              { t == u } -> std::convertible_to<bool>;
            }
  friend bool operator==(const OutOfLine& a, const U& u) {
    return a && *a == u;
  }

 private:
  std::unique_ptr<T> p_;
};

// Reads and grows as the std::vector<T> it holds once the first item comes
// (size, [], iteration, push_back, insert at the end), and converts to a
// const std::vector<T>& for functions that take one. Empty costs the pointer.
template <class T>
class OutOfLineVector {
 public:
  using value_type = T;
  using iterator = typename std::vector<T>::iterator;
  using const_iterator = typename std::vector<T>::const_iterator;

  OutOfLineVector() noexcept = default;
  OutOfLineVector(std::vector<T> items)  // NOLINT: converts as the vector it stands for
      : p_(items.empty() ? nullptr : std::make_unique<std::vector<T>>(std::move(items))) {}
  OutOfLineVector(std::initializer_list<T> items) : OutOfLineVector(std::vector<T>(items)) {}
  OutOfLineVector(const OutOfLineVector& other)
      : p_(other.p_ ? std::make_unique<std::vector<T>>(*other.p_) : nullptr) {}
  OutOfLineVector(OutOfLineVector&&) noexcept = default;
  OutOfLineVector& operator=(const OutOfLineVector& other) {
    if (this != &other) *this = OutOfLineVector(other);
    return *this;
  }
  OutOfLineVector& operator=(OutOfLineVector&&) noexcept = default;

  const std::vector<T>& items() const noexcept { return p_ ? *p_ : empty_items(); }
  operator const std::vector<T>&() const noexcept { return items(); }  // NOLINT: as the vector

  std::size_t size() const noexcept { return p_ ? p_->size() : 0; }
  bool empty() const noexcept { return size() == 0; }
  const_iterator begin() const noexcept { return items().begin(); }
  const_iterator end() const noexcept { return items().end(); }
  // In place, for callers that rewrite the items; empty when there are none.
  iterator begin() noexcept { return p_ ? p_->begin() : iterator(); }
  iterator end() noexcept { return p_ ? p_->end() : iterator(); }
  const T& operator[](std::size_t i) const noexcept { return (*p_)[i]; }
  T& operator[](std::size_t i) noexcept { return (*p_)[i]; }

  void push_back(const T& item) { grown().push_back(item); }
  void push_back(T&& item) { grown().push_back(std::move(item)); }
  template <class... Args>
  T& emplace_back(Args&&... args) {
    return grown().emplace_back(std::forward<Args>(args)...);
  }
  // Insertion at the end, the only place records append to.
  template <class It>
  void insert(const_iterator at, It first, It last) {
    if (first == last) return;
    const auto offset = at - items().begin();
    std::vector<T>& v = grown();
    v.insert(v.begin() + offset, first, last);
  }
  void clear() noexcept { p_.reset(); }

 private:
  static const std::vector<T>& empty_items() noexcept {
    static const std::vector<T> none;
    return none;
  }
  std::vector<T>& grown() {
    if (!p_) p_ = std::make_unique<std::vector<T>>();
    return *p_;
  }

  std::unique_ptr<std::vector<T>> p_;
};

}  // namespace korvanta
