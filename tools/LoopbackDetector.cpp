#include "tools/LoopbackDetector.h"

#include <algorithm>
#include <cstdlib>

namespace {

// An echo must reach this level (36 dB below the click) and stand this many
// times above the median level of its search window.
constexpr uint32_t kEchoFloor = kClickLevel / 64;
constexpr uint32_t kEchoProminence = 8;
constexpr long kDelayTolerance = 2;
// Enough for a firm answer; long runs would otherwise take long to search.
constexpr size_t kMaxClicksSearched = 64;

uint32_t Magnitude(int32_t sample) {
  return sample < 0 ? static_cast<uint32_t>(-(static_cast<int64_t>(sample)))
                    : static_cast<uint32_t>(sample);
}

}  // namespace

CClickSchedule::CClickSchedule(double sampleRate, long bufferFrames)
    : m_bufferFrames(bufferFrames > 0 ? bufferFrames : 1) {
  const long rate = sampleRate > 0 ? static_cast<long>(sampleRate) : 48000;
  // Six buffers and 100 ms cover the buffering of a driver and the
  // converters and transport of a device.
  m_searchFrames = 6 * m_bufferFrames + rate / 10;
  m_firstClick = 8 * static_cast<int64_t>(m_bufferFrames);
}

int64_t CClickSchedule::Click(int64_t k) const {
  // Gaps cycle through search+B, search+2B, search+3B.
  const int64_t search = m_searchFrames, b = m_bufferFrames;
  const int64_t cycle = 3 * search + 6 * b;
  static const int64_t kPartialBuffers[3] = {0, 1, 3};
  const int64_t rest = k % 3;
  return m_firstClick + (k / 3) * cycle + rest * search + kPartialBuffers[rest] * b;
}

long CClickSchedule::ClickIn(int64_t first, long count) const {
  const int64_t widestGap = m_searchFrames + 3 * static_cast<int64_t>(m_bufferFrames);
  int64_t k = first > m_firstClick ? (first - m_firstClick) / widestGap : 0;
  while (Click(k) < first) ++k;
  const int64_t click = Click(k);
  return click < first + count ? static_cast<long>(click - first) : -1;
}

std::vector<int64_t> CClickSchedule::SearchableClicks(int64_t frames) const {
  std::vector<int64_t> clicks;
  for (int64_t k = 0; Click(k) + m_searchFrames <= frames; ++k) clicks.push_back(Click(k));
  return clicks;
}

LoopbackEcho FindLoopbackEcho(const int32_t* input, int64_t frames,
                              const CClickSchedule& schedule) {
  LoopbackEcho echo;
  std::vector<int64_t> clicks = schedule.SearchableClicks(frames);
  if (clicks.size() > kMaxClicksSearched) clicks.resize(kMaxClicksSearched);
  echo.clicks = static_cast<int>(clicks.size());
  if (clicks.size() < 3) return echo;

  const long window = schedule.SearchFrames();
  std::vector<uint32_t> levels(static_cast<size_t>(window));
  std::vector<long> delays;
  std::vector<uint32_t> peaks;
  for (int64_t click : clicks) {
    const int32_t* samples = input + click;
    long peakAt = 0;
    uint32_t peak = 0;
    for (long i = 0; i < window; ++i) {
      levels[static_cast<size_t>(i)] = Magnitude(samples[i]);
      if (levels[static_cast<size_t>(i)] > peak) {
        peak = levels[static_cast<size_t>(i)];
        peakAt = i;
      }
    }
    std::nth_element(levels.begin(), levels.begin() + window / 2, levels.end());
    const uint64_t median = levels[static_cast<size_t>(window / 2)];
    if (peak >= kEchoFloor && peak >= kEchoProminence * median) {
      delays.push_back(peakAt);
      peaks.push_back(peak);
    }
  }
  if (delays.size() < 3) return echo;

  std::vector<long> sorted(delays);
  std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
  const long agreed = sorted[sorted.size() / 2];
  for (size_t i = 0; i < delays.size(); ++i) {
    if (std::labs(delays[i] - agreed) > kDelayTolerance) continue;
    ++echo.echoes;
    echo.peak = std::max(echo.peak, static_cast<int32_t>(std::min<uint32_t>(peaks[i], INT32_MAX)));
  }
  echo.delayFrames = agreed;
  echo.found = echo.echoes >= 3 && 4 * echo.echoes >= 3 * echo.clicks;
  return echo;
}
