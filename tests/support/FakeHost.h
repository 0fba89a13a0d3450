// A scripted ASIO host: the plain C callbacks the driver calls, recording
// what happens so that tests can check it. One host is active at a time
// (ASIO callbacks carry no context).
#ifndef VOROD_TESTS_SUPPORT_FAKEHOST_H
#define VOROD_TESTS_SUPPORT_FAKEHOST_H

#include <atomic>
#include <functional>
#include <utility>
#include <vector>

#include "driver/AsioTypes.h"

class FakeHost {
 public:
  // `timeInfo` is the answer to kAsioSupportsTimeInfo.
  explicit FakeHost(long timeInfo = 0);
  ~FakeHost();
  FakeHost(const FakeHost&) = delete;
  FakeHost& operator=(const FakeHost&) = delete;

  ASIOCallbacks* Callbacks() { return &m_callbacks; }
  void SetTimeInfoAnswer(long answer) { m_timeInfoAnswer = answer; }

  // Runs inside every buffer switch with the half's index.
  std::function<void(long index)> onSwitch;
  // The selectors answered 1 to kAsioSelectorSupported, and every other
  // message the driver sent (selector, value) but the time-info question.
  std::vector<long> supported;
  std::vector<std::pair<long, long>> messages;
  // Supported selectors whose messages the host declines (answers 0).
  std::vector<long> declined;

  std::atomic<int> switches{0};
  std::atomic<int> timeInfoSwitches{0};
  std::atomic<int> timeInfoQueries{0};
  std::vector<long> indices;
  // The ASIOTime record the driver handed over, as it was during the call.
  std::vector<ASIOTime> timeRecords;

 private:
  static void BufferSwitch(long index, ASIOBool directProcess);
  static ASIOTime* BufferSwitchTimeInfo(ASIOTime* params, long index, ASIOBool directProcess);
  static void SampleRateDidChange(ASIOSampleRate rate);
  static long AsioMessage(long selector, long value, void* message, double* opt);

  static FakeHost* s_current;
  ASIOCallbacks m_callbacks;
  long m_timeInfoAnswer;
};

#endif  // VOROD_TESTS_SUPPORT_FAKEHOST_H
