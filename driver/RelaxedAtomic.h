// A word shared between the host's threads, the streaming thread and the
// panel thread: always read and written whole, with relaxed ordering. No
// data is published through these words, only flags, counters and values.
#ifndef VOROD_DRIVER_RELAXEDATOMIC_H
#define VOROD_DRIVER_RELAXEDATOMIC_H

#include <atomic>

template <typename T>
class RelaxedAtomic {
 public:
  RelaxedAtomic(T value = T()) : m_value(value) {}  // NOLINT: converting by design
  RelaxedAtomic(const RelaxedAtomic&) = delete;
  RelaxedAtomic& operator=(const RelaxedAtomic&) = delete;

  T Get() const { return m_value.load(std::memory_order_relaxed); }
  void Set(T value) { m_value.store(value, std::memory_order_relaxed); }
  operator T() const { return Get(); }  // NOLINT
  RelaxedAtomic& operator=(T value) {
    Set(value);
    return *this;
  }
  // Integers only.
  T FetchAdd(T delta) { return m_value.fetch_add(delta, std::memory_order_relaxed); }
  T FetchOr(T bits) { return m_value.fetch_or(bits, std::memory_order_relaxed); }
  T Exchange(T value) { return m_value.exchange(value, std::memory_order_relaxed); }

 private:
  std::atomic<T> m_value;
};

#endif  // VOROD_DRIVER_RELAXEDATOMIC_H
