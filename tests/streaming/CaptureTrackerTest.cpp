// CCaptureTracker against a model of a USB device's cyclic capture buffer,
// looked at as the capture wait looks (on notifications, every half's time
// when none comes, spinning on a position that lags), an hour of device time
// a case: no half handed out that the device had not written, began to write
// over before it was read, or jumped over in a stall; every loss counted
// once, none where none happened.
#include <gtest/gtest.h>

#include <algorithm>
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
  uint32_t frozenEveryMs;  // the machine held for five halves' time, the device's updates a moment longer
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
  // A machine held (five halves' time, from 20 to 27 ms into each period of
  // frozenEveryMs) stops the device's updates until a moment after the
  // reader goes on: what it shows and signals is as at the hold's start.
  // Every other hold its updates come 0.1 ms after the reader goes on and
  // its transfers stood too (a device in software); in the others they come
  // 3 ms after, longer than a step's time, and its transfers went on (its
  // register set in deferred calls).
  bool Held(uint64_t us, uint64_t* start, uint64_t* until) const {
    if (m_rough.frozenEveryMs == 0) return false;
    const uint64_t every = 1000ull * m_rough.frozenEveryMs, k = us / every;
    *start = k * every + 20000 + Noise(k) % 7000;
    *until = *start + 5ull * m_half / kChannels * 1000 / 48 + (k % 2 ? 100 : 3000);
    return k != 0 && us >= *start && us < *until;
  }
  uint64_t FrozenUntil(uint64_t us) const {
    uint64_t start = 0, until = 0;
    return Held(us, &start, &until) ? until : 0;
  }
  uint64_t Shown(uint64_t us) const {
    uint64_t start = 0, until = 0;
    return Held(us, &start, &until) ? start : us;
  }
  uint64_t Transferred(uint64_t us) const {
    uint64_t start = 0, until = 0;
    return Held(us, &start, &until) && us / (1000ull * m_rough.frozenEveryMs) % 2 ? start : us;
  }
  // Where a reader that ran into a hold goes on.
  uint64_t Resumed(uint64_t us) const {
    uint64_t start = 0, until = 0;
    if (!Held(us, &start, &until)) return us;
    return std::max(us, start + 5ull * m_half / kChannels * 1000 / 48);
  }
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
    const uint64_t frame = static_cast<uint64_t>(Frame(Shown(us)));
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
    const uint64_t at = Us(static_cast<double>(frame)) + jitter;
    return FrozenUntil(at) ? FrozenUntil(at) : at;
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
    uint32_t slack = rough.stepFrames * kChannels + 24 * kChannels;
    slack = slack < m_half / 2 ? slack : m_half / 2;
    m_tracker.Start(m_half, 48000 * kChannels, slack, 0);
    m_settleUs = slack / kChannels * 1000 / 48 + 200;
  }

  Tally RunHour() {
    Tally tally;
    while (m_now < kHourUs) {
      uint64_t missed = WaitForHalf();
      const uint64_t due = m_tracker.Due();
      if (m_device.Written(DataFrame()) < due + m_half) ++tally.unwritten;
      if (m_now > m_device.Us(static_cast<double>(due + m_half) / kChannels) + 1500) ++tally.slept;
      if (m_device.Stale(due, due + m_half)) ++tally.stale;
      m_now += 20;  // the copy
      Look();
      missed += m_tracker.SkipLost() != 0;
      const bool overran = m_tracker.Overran(due);
      if (m_device.Written(DataFrame()) > due + 2ull * m_half && !overran) ++tally.overwrittenUncounted;
      tally.dropOuts += missed != 0 || overran;
      ++tally.halves;
      m_tracker.Hand();
      // The host's callback, and now and then the whole thread held.
      m_now = m_device.Resumed(m_now + m_periodUs / 2);
      if (m_rough.heldEveryMs && m_now / 1000 / m_rough.heldEveryMs != (m_now - m_periodUs) / 1000 / m_rough.heldEveryMs)
        m_now += 3 * m_periodUs;
    }
    return tally;
  }

 private:
  uint64_t DataFrame() const { return static_cast<uint64_t>(m_device.Frame(m_device.Transferred(m_now))); }
  // A look; one that would take turns on the clock's word alone waits a
  // step's time (with its lag) for the position to move: one that stays put
  // is behind its clock (as the capture wait does).
  void Look() {
    m_now = m_device.Resumed(m_now);
    uint32_t shown = m_device.Register(m_now);
    bool stood = false;
    if (m_tracker.ClockTurns(shown, m_now, m_signalled ? 1 : 0)) {
      stood = true;
      for (const uint64_t until = m_now + m_settleUs; stood && m_now < until;) {
        m_now = m_device.Resumed(m_now + 20);
        stood = m_device.Register(m_now) == shown;
      }
      shown = m_device.Register(m_now);
    }
    m_tracker.Look(shown, m_now, m_signalled ? 1 : 0, stood);
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
    m_now = m_device.Resumed(m_now + timeoutUs) + Wake();
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
  uint64_t m_settleUs;
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
    const uint32_t heldEveryMs = rough.heldEveryMs + rough.frozenEveryMs;
    const uint64_t losses = rough.stallEveryMs ? static_cast<uint64_t>(deviceMs) / rough.stallEveryMs
                            : heldEveryMs      ? (kHourUs / 1000 - 1) / heldEveryMs
                                               : 0;
    EXPECT_EQ(tally.dropOuts, losses);
    if (losses == 0) {
      EXPECT_EQ(tally.slept, 0u);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Devices, CaptureTrackerHourTest,
    ::testing::Values(Rough{"Exact", 0, 0, 0, 0, 0, 0, 0}, Rough{"Steps", 48, 0, 0, 0, 0, 0, 0},
                      Rough{"Lag", 0, 250, 0, 0, 0, 0, 0}, Rough{"Jitter", 0, 0, 500, 0, 0, 0, 0},
                      Rough{"FastClock", 0, 0, 0, 20000, 0, 0, 0}, Rough{"SlowClock", 0, 0, 0, -20000, 0, 0, 0},
                      Rough{"Stalls", 0, 0, 0, 0, 600000, 0, 0}, Rough{"Usb", 48, 250, 500, 80, 0, 0, 0},
                      Rough{"UsbStalls", 48, 250, 500, 80, 600000, 0, 0},
                      Rough{"UsbThreadHeld", 48, 250, 500, 80, 0, 600000, 0},
                      Rough{"UsbMachineHeld", 48, 250, 500, 80, 0, 0, 60000}),
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

// A position behind its clock (the device's updates held back while it
// went on) takes no turns on the clock's word; once it moves on, the turns
// count from the time what it had shown took.
TEST(CaptureTrackerTest, APositionThatStoodBehindItsClockTakesItsTurnsWhenItMovesOn) {
  CCaptureTracker tracker;
  tracker.Start(96 * kChannels, 48000 * kChannels, 0, 0);
  // 150 frames in, then the updates stop; 10 ms later it still shows 150.
  EXPECT_TRUE(tracker.ClockTurns(150 * kChannels, 10000, 0));
  tracker.Look(150 * kChannels, 10000, 0, true);
  EXPECT_EQ(tracker.Written(), 150u * kChannels);
  // Its updates go on: at 10.5 ms it shows where it is, 504 frames in.
  tracker.Look(504 % 192 * kChannels, 10500, 1);
  EXPECT_EQ(tracker.Written(), 504u * kChannels);
}

// The same position a whole turn's time later, with no notification taken
// (the thread held that long), may be a turn gone by unseen: the half
// completed before is not handed out as intact, and the turn counts once
// the position moves on.
TEST(CaptureTrackerTest, TheSamePositionATurnLaterMayBeATurnGoneBy) {
  CCaptureTracker tracker;
  tracker.Start(96 * kChannels, 48000 * kChannels, 0, 0);
  tracker.Look(96 * kChannels, 2000, 1);
  EXPECT_TRUE(tracker.DueComplete());
  EXPECT_FALSE(tracker.Overran(0));
  tracker.Look(96 * kChannels, 6000, 0);
  EXPECT_TRUE(tracker.Overran(0));
  tracker.Look(144 * kChannels, 7000, 0);
  EXPECT_EQ(tracker.Written(), 336u * kChannels);
}

}  // namespace
