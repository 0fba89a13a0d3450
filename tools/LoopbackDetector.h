// Round-trip latency through a loopback (an output wired back to an input):
// where the clicks go in the output stream, and where they come back.
//
// Frames count from the first buffer switch: switch n plays output frames
// and delivers input frames n*B to n*B+B-1 (B the buffer size). A click
// written at output frame p that shows up at input frame q came back after
// q-p frames: the round trip as the host sees it, which the latencies the
// driver reports (input plus output) should add up to.
#ifndef VOROD_TOOLS_LOOPBACKDETECTOR_H
#define VOROD_TOOLS_LOOPBACKDETECTOR_H

#include <cstdint>
#include <vector>

// A single-sample impulse at -6 dBFS.
constexpr int32_t kClickLevel = 0x40000000;

// Clicks start after the driver's first buffers (many fade in) and come
// further apart than the longest round trip searched for. The gaps vary by
// whole buffers, so that an echo too late for its own search window can
// never line up consistently with the next click.
class CClickSchedule {
 public:
  CClickSchedule(double sampleRate, long bufferFrames);

  // Echoes are searched for up to this many frames after their click.
  long SearchFrames() const { return m_searchFrames; }
  int64_t Click(int64_t k) const;
  // The offset of the click inside frames [first, first+count), or -1.
  // Allocates nothing: the buffer switch calls it.
  long ClickIn(int64_t first, long count) const;
  // Clicks whose whole search window lies before `frames`.
  std::vector<int64_t> SearchableClicks(int64_t frames) const;

 private:
  long m_bufferFrames;
  long m_searchFrames;
  int64_t m_firstClick;
};

struct LoopbackEcho {
  bool found = false;
  long delayFrames = 0;
  int clicks = 0;    // clicks whose search window lies inside the capture
  int echoes = 0;    // of them, echoes at the agreed delay
  int32_t peak = 0;  // the largest echo's magnitude
};

// Looks for the clicks in one input channel captured as 32-bit PCM from
// frame 0. Found when at least three clicks, and three in four of those
// searched, come back at the same delay (within 2 frames), each standing
// well above the channel's level around it.
LoopbackEcho FindLoopbackEcho(const int32_t* input, int64_t frames, const CClickSchedule& schedule);

#endif  // VOROD_TOOLS_LOOPBACKDETECTOR_H
