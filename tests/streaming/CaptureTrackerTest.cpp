// CCaptureTracker against a model of a USB device's cyclic capture buffer,
// looked at as the capture wait looks (on notifications, every half's time
// when none comes, spinning on a position that lags), an hour of device time
// a case: no half handed out that the device had not written, began to write
// over before it was read, or jumped over in a stall; every loss counted
// once, none where none happened.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "streaming/CaptureTracker.h"

namespace {

const uint32_t kChannels = 16;
const uint64_t kHourUs = 3600ull * 1000000;

struct Rough {
  const char* name;
  uint32_t stepFrames, lagUs, jitterUs;
  int32_t ppm;
  uint32_t stallEveryMs;   // device stalls of three halves' time
  uint32_t heldEveryMs;    // the streaming thread held for three halves' time
};

uint32_t Noise(uint64_t key) {
  key ^= key >> 33;
  key *= 0xff51afd7ed558ccdull;
  key ^= key >> 33;
  key *= 0xc4ceb9fe1a85ec53ull;
  return static_cast<uint32_t>(key ^ (key >> 33));
}

// The device: its frames run ppm off the machine's clock (microseconds);
// every stallEveryMs of its time its transfers stop, then go on where its
// clock reached.
class Device {
 public:
  Device(const Rough& rough, uint32_t half) : m_rough(rough), m_half(half) {
    m_stallFrames = 3ull * half / kChannels;
  }
  double Frame(uint64_t us) const { return us * 0.048 * (1 + m_rough.ppm * 1e-6); }
  uint64_t Us(double frame) const { return static_cast<uint64_t>(frame / (0.048 * (1 + m_rough.ppm * 1e-6))); }
  // Where the stall around a frame starts, if it is in one.
  bool Stalled(uint64_t frame, uint64_t* start) const {
    if (m_rough.stallEveryMs == 0) return false;
    const uint64_t every = 48ull * m_rough.stallEveryMs;
    *start = frame / every * every;
    return *start != 0 && frame < *start + m_stallFrames;
  }
  uint64_t Written(uint64_t frame) const {
    uint64_t start = 0;
    return (Stalled(frame, &start) ? start : frame) * kChannels;
  }
  // Whether samples [from, to) (less than a stall's period) include some
  // the device jumped over.
  bool Stale(uint64_t from, uint64_t to) const {
    if (m_rough.stallEveryMs == 0) return false;
    const uint64_t every = 48ull * m_rough.stallEveryMs, a = from / kChannels, b = to / kChannels;
    for (uint64_t k = a / every; k <= a / every + 1; ++k)
      if (k != 0 && (a > k * every ? a : k * every) < (b < k * every + m_stallFrames ? b : k * every + m_stallFrames))
        return true;
    return false;
  }
  // The register: where the device was a lag ago (drawn each millisecond),
  // on the step before, never going back.
  uint32_t Register(uint64_t us) {
    const uint64_t frame = static_cast<uint64_t>(Frame(us));
    const uint64_t lag = m_rough.lagUs ? Noise(frame / 48) % (m_rough.lagUs * 48 / 1000 + 1) : 0;
    uint64_t shown = frame > lag ? frame - lag : 0;
    if (m_rough.stepFrames > 1) shown -= shown % m_rough.stepFrames;
    m_shown = Written(shown) > m_shown ? Written(shown) : m_shown;
    return static_cast<uint32_t>(m_shown % (2ull * m_half));
  }
  // When notification b (for the b-th boundary) is signalled.
  uint64_t Signal(uint64_t b) const {
    uint64_t frame = b * m_half / kChannels, start = 0;
    if (Stalled(frame, &start)) frame = start + m_stallFrames;
    const uint64_t jitter = m_rough.jitterUs ? Noise(b + 7) % (m_rough.jitterUs + 1) : 0;
    return Us(static_cast<double>(frame)) + jitter;
  }

 private:
  Rough m_rough;
  uint32_t m_half;
  uint64_t m_stallFrames;
  uint64_t m_shown = 0;
};

struct Tally {
  uint64_t halves = 0, dropOuts = 0, unwritten = 0, overwrittenUncounted = 0, stale = 0;
  uint64_t slept = 0;  // halves handed out more than 1.5 ms after the device completed them
};

// The capture wait and the loop's pass: wait for the half due, copy it, ask
// whether the device reached it meanwhile, hand it to the host.
class Reader {
 public:
  Reader(const Rough& rough, uint32_t bufferSize)
      : m_rough(rough), m_half(bufferSize * kChannels), m_device(rough, m_half) {
    m_periodUs = bufferSize * 1000000ull / 48000;
    const uint32_t slack = rough.stepFrames * kChannels + 24 * kChannels;
    m_tracker.Start(m_half, 48000 * kChannels, slack < m_half / 2 ? slack : m_half / 2, 0);
  }

  Tally RunHour() {
    Tally tally;
    while (m_now < kHourUs) {
      uint64_t missed = WaitForHalf();
      const uint64_t due = m_tracker.Due();
      if (m_device.Written(Frame()) < due + m_half) ++tally.unwritten;
      if (m_now > m_device.Us(static_cast<double>(due + m_half) / kChannels) + 1500) ++tally.slept;
      if (m_device.Stale(due, due + m_half)) ++tally.stale;
      m_now += 20;  // the copy
      Look();
      missed += m_tracker.SkipLost() != 0;
      const bool overran = m_tracker.Overran(due);
      if (m_device.Written(Frame()) > due + 2ull * m_half && !overran) ++tally.overwrittenUncounted;
      tally.dropOuts += missed != 0 || overran;
      ++tally.halves;
      m_tracker.Hand();
      // The host's callback, and now and then the whole thread held.
      m_now += m_periodUs / 2;
      if (m_rough.heldEveryMs && m_now / 1000 / m_rough.heldEveryMs != (m_now - m_periodUs) / 1000 / m_rough.heldEveryMs)
        m_now += 3 * m_periodUs;
    }
    return tally;
  }

 private:
  uint64_t Frame() const { return static_cast<uint64_t>(m_device.Frame(m_now)); }
  void Look() {
    m_tracker.Look(m_device.Register(m_now), m_now, m_signalled ? 1 : 0);
    m_signalled = false;
  }
  // A wake-up takes the thread 20 to 120 us, now and then a millisecond.
  uint64_t Wake() { return Noise(++m_wakes) % 1000 == 0 ? 1000 : 20 + Noise(m_wakes) % 100; }
  // Waits for the notification event (auto-reset: those signalled since it
  // was last taken are one) or a time-out.
  bool WaitForSignal(uint64_t timeoutUs) {
    while (m_device.Signal(m_nextSignal) <= m_taken) ++m_nextSignal;
    const uint64_t at = m_device.Signal(m_nextSignal);
    if (at <= m_now + timeoutUs) {
      m_now = (at > m_now ? at : m_now) + Wake();
      m_taken = m_now;
      m_signalled = true;
      return true;
    }
    m_now += timeoutUs + Wake();
    return false;
  }
  uint64_t WaitForHalf() {
    uint64_t missed = 0;
    bool notified = false;
    Look();
    for (;;) {
      missed += m_tracker.SkipLost();
      if (m_tracker.DueComplete()) return missed;
      const uint64_t spun = m_now;
      while (notified && m_tracker.DueNear() && m_now - spun < 300) {
        m_now += 5;
        Look();
      }
      if (m_tracker.DueComplete()) return missed;
      notified = WaitForSignal(m_tracker.DueNear() ? 1000 : m_periodUs);
      Look();
    }
  }

  Rough m_rough;
  uint32_t m_half;
  Device m_device;
  CCaptureTracker m_tracker;
  uint64_t m_periodUs;
  uint64_t m_now = 0;
  uint64_t m_taken = 0;  // the event last taken
  uint64_t m_nextSignal = 1;
  uint64_t m_wakes = 0;
  bool m_signalled = false;
};

class CaptureTrackerHourTest : public ::testing::TestWithParam<Rough> {};

TEST_P(CaptureTrackerHourTest, HandsOutOnlyWhatTheDeviceWroteAndCountsEachLossOnce) {
  const Rough rough = GetParam();
  for (uint32_t bufferSize : {96u, 288u, 576u}) {
    SCOPED_TRACE(std::to_string(bufferSize) + " frames");
    const Tally tally = Reader(rough, bufferSize).RunHour();
    const uint64_t halves = static_cast<uint64_t>(kHourUs * 0.048 * (1 + rough.ppm * 1e-6)) / bufferSize;
    EXPECT_GT(tally.halves, halves * 99 / 100);
    EXPECT_EQ(tally.unwritten, 0u);
    EXPECT_EQ(tally.overwrittenUncounted, 0u);
    EXPECT_EQ(tally.stale, 0u);
    // A loss once per stall (over and seen within the hour of the device's
    // clock) or hold, none otherwise.
    const double deviceMs = kHourUs / 1000.0 * (1 + rough.ppm * 1e-6) - 5.0 * bufferSize / 48;
    const uint64_t losses = rough.stallEveryMs  ? static_cast<uint64_t>(deviceMs) / rough.stallEveryMs
                            : rough.heldEveryMs ? (kHourUs / 1000 - 1) / rough.heldEveryMs
                                                : 0;
    EXPECT_EQ(tally.dropOuts, losses);
    if (losses == 0) {
      EXPECT_EQ(tally.slept, 0u);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Devices, CaptureTrackerHourTest,
    ::testing::Values(Rough{"Exact", 0, 0, 0, 0, 0, 0}, Rough{"Steps", 48, 0, 0, 0, 0, 0},
                      Rough{"Lag", 0, 250, 0, 0, 0, 0}, Rough{"Jitter", 0, 0, 500, 0, 0, 0},
                      Rough{"FastClock", 0, 0, 0, 20000, 0, 0}, Rough{"SlowClock", 0, 0, 0, -20000, 0, 0},
                      Rough{"Stalls", 0, 0, 0, 0, 600000, 0}, Rough{"Usb", 48, 250, 500, 80, 0, 0},
                      Rough{"UsbStalls", 48, 250, 500, 80, 600000, 0},
                      Rough{"UsbThreadHeld", 48, 250, 500, 80, 0, 600000}),
    [](const ::testing::TestParamInfo<Rough>& info) { return std::string(info.param.name); });

// A notification taken while the position stands (signalled late, as the
// device stalled) is no turn of the buffer, and the stall still shows every
// turn it hid when the device goes on.
TEST(CaptureTrackerTest, ANotificationWhileThePositionStandsIsNoTurn) {
  CCaptureTracker tracker;
  tracker.Start(96 * kChannels, 48000 * kChannels, 0, 0);
  tracker.Look(48 * kChannels, 1000, 0);  // 48 frames in, then it stops
  tracker.Look(48 * kChannels, 3500, 1);
  EXPECT_EQ(tracker.Written(), 48u * kChannels);
  tracker.Look(48 * kChannels, 5000, 0);
  // 14 ms after it stopped it goes on where its clock reached: 672 frames on.
  tracker.Look((48 + 672) % 192 * kChannels, 15000, 0);
  EXPECT_EQ(tracker.Written(), (48u + 672u) * kChannels);
}

}  // namespace
