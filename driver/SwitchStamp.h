// The sample position and system time of the latest buffer switch, written by
// the streaming thread and read by any host thread as one consistent pair.
//
// A sequence counter surrounds the pair: it is odd while a write is under
// way. The writer never waits; a reader that overlapped a write reads again.
// The fences order the pair against the counter; every word is an atomic
// read or written whole.
#ifndef VOROD_DRIVER_SWITCHSTAMP_H
#define VOROD_DRIVER_SWITCHSTAMP_H

#include <atomic>
#include <cstdint>

class CSwitchStamp {
 public:
  CSwitchStamp() : m_sequence(0), m_position(0), m_timeNs(0) {}
  CSwitchStamp(const CSwitchStamp&) = delete;
  CSwitchStamp& operator=(const CSwitchStamp&) = delete;

  // One writer at a time: the streaming thread while it runs, otherwise the
  // host's thread that starts it.
  void Publish(uint64_t position, uint64_t timeNs) {
    const uint32_t sequence = m_sequence.load(std::memory_order_relaxed);
    m_sequence.store(sequence + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    m_position.store(position, std::memory_order_relaxed);
    m_timeNs.store(timeNs, std::memory_order_relaxed);
    m_sequence.store(sequence + 2, std::memory_order_release);
  }

  void Read(uint64_t* position, uint64_t* timeNs) const {
    for (;;) {
      const uint32_t before = m_sequence.load(std::memory_order_acquire);
      const uint64_t p = m_position.load(std::memory_order_relaxed);
      const uint64_t t = m_timeNs.load(std::memory_order_relaxed);
      std::atomic_thread_fence(std::memory_order_acquire);
      if ((before & 1u) == 0 && m_sequence.load(std::memory_order_relaxed) == before) {
        *position = p;
        *timeNs = t;
        return;
      }
    }
  }

  uint64_t Position() const {
    uint64_t position = 0, timeNs = 0;
    Read(&position, &timeNs);
    return position;
  }

 private:
  std::atomic<uint32_t> m_sequence;
  std::atomic<uint64_t> m_position;
  std::atomic<uint64_t> m_timeNs;
};

#endif  // VOROD_DRIVER_SWITCHSTAMP_H
