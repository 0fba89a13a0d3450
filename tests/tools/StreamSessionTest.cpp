// Streaming runs against the fake driver, whose thread calls the host back
// every buffer period: what the host records, how it answers the driver's
// questions, and what the driver reports during a run.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/FakeAsioDriver.h"
#include "tools/StreamSession.h"

namespace {

class StreamSessionTest : public ::testing::Test {
 protected:
  // 3 inputs and 2 outputs of Int32LSB at 8000 Hz with 64-frame buffers.
  StreamResult RunFor(double seconds, const std::string& script) {
    m_script = ParseFakeScript("inputs=3;" + script);
    m_driver = new CFakeAsioDriver(m_script);
    m_plan.bufferFrames = 64;
    m_plan.sampleRate = 8000;
    m_plan.seconds = seconds;
    for (long i = 0; i < 3; ++i) m_plan.inputs.push_back({i, ASIOSTInt32LSB});
    for (long i = 0; i < 2; ++i) m_plan.outputs.push_back({i, ASIOSTInt32LSB});
    m_session = new CStreamSession(m_driver);
    RunFailure failure{0, std::string()};
    EXPECT_TRUE(m_session->Prepare(m_plan, &failure)) << failure.message;
    return m_session->Run();
  }

  void TearDown() override {
    delete m_session;
    if (m_driver != nullptr) m_driver->Release();
  }

  FakeDriverScript m_script;
  StreamPlan m_plan;
  CFakeAsioDriver* m_driver = nullptr;
  CStreamSession* m_session = nullptr;
};

}  // namespace

TEST_F(StreamSessionTest, InputsAreRecordedFrameByFrameAndTheLoopbackMeasured) {
  m_plan.signal = OutputSignal::kClick;
  m_plan.keepCapture = true;
  StreamResult result = RunFor(1.0, "loopback=1>2@192");
  ASSERT_EQ(0, result.ExitCode()) << result.failures.front().message;
  EXPECT_EQ(2, m_driver->engineVersionAnswer);
  EXPECT_EQ(1, m_driver->timeInfoAnswer);
  EXPECT_GT(result.switches, 50);
  EXPECT_EQ(result.switches, result.timeInfoSwitches);
  EXPECT_EQ(result.switches * 64, result.capturedFrames);
  EXPECT_EQ(0, result.positions.jumps);
  EXPECT_EQ(result.switches - 1, result.positions.checked);

  int mismatches = 0;
  for (size_t input = 0; input < 2; ++input)
    for (int64_t frame = 0; frame < result.capturedFrames; ++frame)
      mismatches += m_session->Capture(input)[frame] != FakeInputSample(input, frame);
  EXPECT_EQ(0, mismatches);
  EXPECT_EQ(static_cast<uint32_t>(FakeInputSample(1, result.capturedFrames - 1)),
            result.inputPeaks[1]);

  LoopbackEcho echo =
      FindLoopbackEcho(m_session->Capture(2), result.capturedFrames, m_session->Clicks());
  EXPECT_TRUE(echo.found);
  EXPECT_EQ(192, echo.delayFrames);
  EXPECT_EQ(kClickLevel, echo.peak);
  EXPECT_EQ(64, result.inputLatency);
  EXPECT_EQ(128, result.outputLatency);
}

TEST_F(StreamSessionTest, WithoutTimeInfoTheHostAsksForPositions) {
  m_plan.timeInfo = false;
  StreamResult result = RunFor(0.3, "");
  ASSERT_EQ(0, result.ExitCode());
  EXPECT_EQ(0, m_driver->timeInfoAnswer);
  EXPECT_EQ(0, result.timeInfoSwitches);
  EXPECT_GT(result.positions.checked, 0);
  EXPECT_EQ(0, result.capturedFrames);  // nothing kept without a WAV file or clicks
}

TEST_F(StreamSessionTest, WhatTheDriverReportsIsCounted) {
  StreamResult result = RunFor(0.4, "message=15@3;jump=5");
  ASSERT_EQ(0, result.ExitCode());
  EXPECT_EQ(1, result.overloads);
  EXPECT_EQ(1, result.positions.jumps);
  EXPECT_EQ(64, result.positions.framesSkipped);
}

TEST_F(StreamSessionTest, AResetRequestEndsTheRunEarly) {
  StreamResult result = RunFor(20, "message=3@4");
  EXPECT_EQ(kExitRunFailed, result.ExitCode());
  EXPECT_EQ(1, result.resetRequests);
  EXPECT_LT(result.runSeconds, 10);
  EXPECT_GE(result.switches, 4);
  EXPECT_NE(std::string::npos,
            result.failures.front().message.find("the driver asked to be reset (kAsioResetRequest) "));
  EXPECT_NE(std::string::npos, result.failures.front().message.find("unplugged"));
}

TEST(StreamSessionPrepareTest, ACaptureBeyondTheMemoryLimitIsRefusedBeforeStreaming) {
  StreamPlan plan;
  plan.bufferFrames = 512;
  plan.sampleRate = 192000;
  plan.seconds = 600;
  plan.keepCapture = true;
  plan.inputs.assign(2, StreamChannel());
  CStreamSession session(nullptr);
  RunFailure failure{0, std::string()};
  EXPECT_FALSE(session.Prepare(plan, &failure));
  EXPECT_EQ(kExitUsage, failure.exitCode);
  EXPECT_NE(std::string::npos,
            failure.message.find("MB of memory, more than the 512 MB allowed: record fewer "
                                 "inputs or a shorter run"))
      << failure.message;
}
