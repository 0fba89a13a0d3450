#include "streaming/CaptureTracker.h"

void CCaptureTracker::Start(uint32_t halfSamples, uint32_t samplesPerSecond, uint32_t slackSamples,
                            uint64_t nowUs) {
  m_half = halfSamples;
  m_samplesPerSecond = samplesPerSecond;
  m_slack = slackSamples;
  m_written = 0;
  m_position = 0;
  m_lastUs = nowUs;
  m_due = 0;
  m_taken = 0;
  m_stalled = false;
  m_staleFrom = m_staleTo = 0;
}

void CCaptureTracker::Look(uint32_t position, uint64_t nowUs, uint32_t taken) {
  m_taken += taken;
  const int64_t ring = 2 * static_cast<int64_t>(m_half);
  if (ring == 0) return;
  position = static_cast<uint32_t>(position % ring);
  const int64_t delta = (static_cast<int64_t>(position) - m_position + ring) % ring;
  const uint64_t elapsedUs = nowUs > m_lastUs ? nowUs - m_lastUs : 0;
  // Whole seconds first: no overflow over any gap.
  const int64_t expected = static_cast<int64_t>(elapsedUs / 1000000 * m_samplesPerSecond +
                                                elapsedUs % 1000000 * m_samplesPerSecond / 1000000);
  // A position that stands is a device that stands, and the time it was
  // last seen moving stays (a stall would hide turns otherwise); with a
  // notification (one may come late, in a stall) it went round once the
  // clock has all but gone round.
  if (delta == 0 && (taken == 0 || expected < ring - m_slack)) {
    if (expected >= m_half) m_stalled = true;
    PairTaken();
    return;
  }
  // The turns that bring the advance nearest the clock's; one back only for
  // a position that read behind an earlier one by no more than the slack.
  int64_t turns = expected - delta + ring / 2;
  turns = turns >= 0 ? turns / ring : -1;
  if (turns < 0) turns = delta >= ring - m_slack ? -1 : 0;
  const int64_t from = m_written;
  m_written += delta + turns * ring;
  m_position = position;
  m_lastUs = nowUs;
  // The device may be the slack further on than it shows.
  if (m_stalled && m_written > from) {
    m_staleFrom = from;
    m_staleTo = m_written + m_slack;
  }
  m_stalled = false;
  PairTaken();
}

void CCaptureTracker::PairTaken() {
  const uint32_t boundaries = static_cast<uint32_t>(Written() / m_half);
  if (m_taken + 1 < boundaries) m_taken = boundaries - 1;
  if (m_taken > boundaries + 1) m_taken = boundaries + 1;
}

uint64_t CCaptureTracker::SkipLost() {
  if (m_half == 0) return 0;
  const int64_t ring = 2 * static_cast<int64_t>(m_half);
  uint64_t skipped = 0;
  // Written over: the device, as far ahead as it may be, is inside the half
  // at m_due + ring; every half before the one it left last is lost.
  const int64_t ahead = m_written + m_slack;
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
