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
}

void CCaptureTracker::Look(uint32_t position, uint64_t nowUs, bool signalled) {
  const int64_t ring = 2 * static_cast<int64_t>(m_half);
  if (ring == 0) return;
  position = static_cast<uint32_t>(position % ring);
  const int64_t delta = (static_cast<int64_t>(position) - m_position + ring) % ring;
  // A position that has not moved, with no notification since, is a device
  // that has not moved: stalled (its buffer holds nothing new) or stopped
  // for good. The next look at which it has moved, or signalled, weighs the
  // whole time since.
  if (delta == 0 && !signalled) return;
  const uint64_t elapsedUs = nowUs > m_lastUs ? nowUs - m_lastUs : 0;
  // Whole seconds first: no overflow over any gap.
  const int64_t expected = static_cast<int64_t>(elapsedUs / 1000000 * m_samplesPerSecond +
                                                elapsedUs % 1000000 * m_samplesPerSecond / 1000000);
  // The turns that bring the advance nearest the clock's; one back only for
  // a position that read behind an earlier one by no more than the slack.
  int64_t turns = expected - delta + ring / 2;
  turns = turns >= 0 ? turns / ring : -1;
  if (turns < 0) turns = delta >= ring - m_slack ? -1 : 0;
  m_written += delta + turns * ring;
  m_position = position;
  m_lastUs = nowUs;
}

uint64_t CCaptureTracker::SkipOverwritten() {
  const int64_t ring = 2 * static_cast<int64_t>(m_half);
  if (m_half == 0 || m_written <= static_cast<int64_t>(m_due) + ring) return 0;
  // The device is inside the half at m_due + ring: every half before the
  // one it left last is lost.
  const uint64_t behind = static_cast<uint64_t>(m_written) - m_due - ring;
  const uint64_t skipped = (behind + m_half - 1) / m_half * m_half;
  m_due += skipped;
  return skipped;
}
