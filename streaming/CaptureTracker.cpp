#include "streaming/CaptureTracker.h"

void CCaptureTracker::Start(uint32_t halfSamples, uint32_t samplesPerSecond, uint32_t slackSamples,
                            uint64_t nowUs) {
  m_half = halfSamples;
  m_samplesPerSecond = samplesPerSecond;
  m_slack = slackSamples;
  m_written = 0;
  m_ahead = 0;
  m_position = 0;
  m_lastUs = nowUs;
  m_due = 0;
  m_taken = 0;
  m_stalled = false;
  m_turnUnseen = false;
  m_staleFrom = m_staleTo = 0;
}

int64_t CCaptureTracker::Expected(uint64_t nowUs) const {
  const uint64_t elapsedUs = nowUs > m_lastUs ? nowUs - m_lastUs : 0;
  // Whole seconds first: no overflow over any gap.
  return static_cast<int64_t>(elapsedUs / 1000000 * m_samplesPerSecond +
                              elapsedUs % 1000000 * m_samplesPerSecond / 1000000);
}

int64_t CCaptureTracker::Turns(int64_t delta, int64_t expected) const {
  // The turns that bring the advance nearest the clock's; one back only for
  // a position that read behind an earlier one by no more than the slack.
  const int64_t ring = Ring();
  const int64_t turns = expected - delta + ring / 2;
  if (turns >= 0) return turns / ring;
  return delta >= ring - m_slack ? -1 : 0;
}

int64_t CCaptureTracker::Delta(uint32_t position) const {
  const int64_t ring = Ring();
  return (static_cast<int64_t>(position % ring) - m_position + ring) % ring;
}

bool CCaptureTracker::ClockTurns(uint32_t position, uint64_t nowUs, uint32_t taken) const {
  if (m_half == 0) return false;
  const int64_t delta = Delta(position);
  const int64_t expected = Expected(nowUs);
  return delta != 0 ? Turns(delta, expected) > 0 : !Stands(taken, expected, false);
}

bool CCaptureTracker::Stands(uint32_t taken, int64_t expected, bool stood) const {
  // With a notification (one may come late, in a stall) it went round once
  // the clock has all but gone round, unless it stood a step's time more.
  return taken == 0 || stood || expected < Ring() - m_slack;
}

void CCaptureTracker::Look(uint32_t position, uint64_t nowUs, uint32_t taken, bool stood) {
  m_taken += taken;
  const int64_t ring = Ring();
  if (ring == 0) return;
  position = static_cast<uint32_t>(position % ring);
  const int64_t delta = Delta(position);
  const int64_t expected = Expected(nowUs);
  // A position that stands is a device that stands, and the time it was
  // last seen moving stays (a stall would hide turns otherwise).
  if (delta == 0 && Stands(taken, expected, stood)) {
    if (expected >= m_half) m_stalled = true;
    // Standing for all but a turn's time is not told from one turn gone by
    // unseen (a thread held that long, a notification not yet taken).
    m_turnUnseen = expected >= ring - m_slack;
    PairTaken();
    return;
  }
  // A position that stood a step's time before it was taken is behind its
  // clock (the device's updates held back, or a stall begun): the turns the
  // clock adds are not taken, though its transfers may have gone on as far.
  // As for one that stands, the time it was last seen moving stays, less
  // the time what it did move takes, and a half's time behind may be a stall.
  int64_t turns = Turns(delta, expected);
  const bool behind = stood && turns > 0;
  if (behind) turns = 0;
  m_ahead = behind ? expected - delta : 0;
  m_turnUnseen = false;
  const int64_t from = m_written;
  m_written += delta + turns * ring;
  m_position = position;
  m_lastUs = behind ? m_lastUs + static_cast<uint64_t>(delta) * 1000000 / m_samplesPerSecond : nowUs;
  // The device may be the slack further on than it shows.
  if (m_stalled && m_written > from) {
    m_staleFrom = from;
    m_staleTo = m_written + m_slack;
  }
  m_stalled = behind && expected - delta >= m_half;
  PairTaken();
}

void CCaptureTracker::PairTaken() {
  const uint32_t boundaries = static_cast<uint32_t>(Written() / m_half);
  if (m_taken + 1 < boundaries) m_taken = boundaries - 1;
  if (m_taken > boundaries + 1) m_taken = boundaries + 1;
}

uint64_t CCaptureTracker::SkipLost() {
  if (m_half == 0) return 0;
  const int64_t ring = Ring();
  uint64_t skipped = 0;
  // Written over: the device, as far ahead as it may be, is inside the half
  // at m_due + ring; every half before the one it left last is lost.
  const int64_t ahead = Farthest();
  if (ahead > static_cast<int64_t>(m_due) + ring) {
    const uint64_t behind = static_cast<uint64_t>(ahead - ring) - m_due;
    skipped = (behind + m_half - 1) / m_half * m_half;
    m_due += skipped;
  }
  // Halves with cells a stalled device jumped over.
  while (static_cast<int64_t>(m_due) < m_staleTo && static_cast<int64_t>(m_due + m_half) > m_staleFrom) {
    m_due += m_half;
    skipped += m_half;
  }
  return skipped;
}
