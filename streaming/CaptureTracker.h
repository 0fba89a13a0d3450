// CCaptureTracker: where a device is in a cyclic capture buffer of two
// halves, and which half is due, from looks at its position and a clock that
// runs with it. Pure bookkeeping: it calls nothing, so it can be driven by a
// model of any device.
//
// A position is the device's offset in the buffer, read modulo the buffer.
// It may step, lag the device, or read a little behind an earlier look; the
// most it reads behind the device is the slack. Between two looks the device
// moved the difference of the positions plus whole turns of the buffer: as
// many as bring that nearest to what the clock says it moved. So a step back
// within the slack is a step back, and a turn nobody saw while the thread
// was held is a turn.
//
// A position that has not moved since the last look, with no notification
// between, is a device that has not moved: no turns are taken for it until
// it moves or signals again, and then for all the time since it last moved.
// After all but a turn's time it may as well have gone round once unseen
// (a notification not taken, a thread held that long): until it moves on, a
// half just read may have been written over.
// Once it has stood still for a half's time it has stalled: the cells it
// then jumps over, on to where its clock reached, hold nothing new, and the
// halves they fall in are lost like halves written over.
//
// A position that moved less than the clock says by half a buffer or more
// is either a device gone round unseen or one behind its clock: its updates
// held back (a device in software whose thread was held, or one whose
// register is set in deferred calls) or stalling. The caller tells which by
// looking again a step's time later. One behind takes no turns, and its
// transfers may have gone on as far as its clock: halves are handed out by
// what it shows, and lost by what its clock says.
//
// The samples the device has written since the start (Written) and the start
// of the half due (Due) are on one timeline: the half due is complete once
// the device has written past its end, and lost once the device may have
// begun to write it over (with the slack, it is more than a buffer behind)
// or it holds stalled cells.
#ifndef VOROD_STREAMING_CAPTURETRACKER_H
#define VOROD_STREAMING_CAPTURETRACKER_H

#include <cstdint>

class CCaptureTracker {
 public:
  // halfSamples: one half of the buffer; samplesPerSecond: the device's rate
  // times its channels; slackSamples: how far a position may read behind.
  void Start(uint32_t halfSamples, uint32_t samplesPerSecond, uint32_t slackSamples, uint64_t nowUs);
  // Whether a look at this position would take turns of the buffer on the
  // clock's word alone (the position moved less than the clock says, by half
  // a buffer or more, or not at all with a notification): true of a device
  // gone round unseen, and of one whose position is behind its clock. Which
  // of the two is seen from whether the position moves again within a step's
  // time (with its lag).
  bool ClockTurns(uint32_t position, uint64_t nowUs, uint32_t taken) const;
  // One look: the position (samples) at clock time nowUs, the notifications
  // taken since the last look, and whether the position stood a step's time
  // before this look (it is behind its clock).
  void Look(uint32_t position, uint64_t nowUs, uint32_t taken, bool stood = false);

  uint64_t Written() const { return m_written > 0 ? static_cast<uint64_t>(m_written) : 0; }
  // The position at the last look at which it had moved.
  uint32_t Position() const { return m_position; }
  // Notifications taken, paired with the half boundaries the device has
  // crossed, give or take one: after notifications that came together, or a
  // device that stalled, the count is set by the boundaries again.
  uint32_t Taken() const { return m_taken; }
  uint64_t Due() const { return m_due; }
  // The position stood all but a turn's time: Written may be a turn short.
  bool TurnUnseen() const { return m_turnUnseen; }
  uint32_t Half() const { return m_half; }
  bool DueComplete() const { return m_written >= static_cast<int64_t>(m_due + m_half); }
  // The device is within the slack of completing the half due: a position
  // that lags may show it complete in a moment.
  bool DueNear() const { return !DueComplete() && static_cast<int64_t>(m_due + m_half) - m_written <= m_slack; }
  // Skips the halves lost before they were handed out (written over, or
  // holding stalled cells); the samples skipped.
  uint64_t SkipLost();
  // The half due has been handed out; the next one is due.
  void Hand() { m_due += m_half; }
  // Whether the device, as far ahead as it may be, has begun to write over
  // the half that starts at `start` (asked after a look once that half was
  // read).
  bool Overran(uint64_t start) const {
    return m_turnUnseen || Farthest() > static_cast<int64_t>(start) + Ring();
  }

 private:
  // The notifications taken, set by the boundaries crossed again when they
  // are more than one apart.
  void PairTaken();
  // What the clock says the device moved since it was last seen moving, the
  // advance a position shows, and the whole turns the clock adds to it.
  int64_t Ring() const { return 2 * static_cast<int64_t>(m_half); }
  int64_t Expected(uint64_t nowUs) const;
  int64_t Delta(uint32_t position) const;
  int64_t Turns(int64_t delta, int64_t expected) const;
  // Whether a position that has not moved stands, by the notifications
  // taken and the clock.
  bool Stands(uint32_t taken, int64_t expected, bool stood) const;
  // As far as the device may have written: the slack past what it shows,
  // and with a position behind its clock, as far as the clock says.
  int64_t Farthest() const { return m_written + m_slack + m_ahead; }

  uint32_t m_half = 0;
  uint32_t m_samplesPerSecond = 0;
  int64_t m_slack = 0;
  int64_t m_written = 0;
  int64_t m_ahead = 0;  // how far the clock put the device past a position behind it
  uint32_t m_position = 0;
  uint64_t m_lastUs = 0;  // clock at the last look at which the device had moved
  uint64_t m_due = 0;
  uint32_t m_taken = 0;
  bool m_stalled = false;  // standing still for a half's time, since m_written
  bool m_turnUnseen = false;  // standing still for all but a turn's time
  // Cells the device jumped over after a stall: [m_staleFrom, m_staleTo).
  int64_t m_staleFrom = 0;
  int64_t m_staleTo = 0;
};

#endif  // VOROD_STREAMING_CAPTURETRACKER_H
