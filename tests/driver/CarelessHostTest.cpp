// Hosts that misuse the driver, against the virtual Vor OD on its stepped
// clock: the driver stays usable.
#include <gtest/gtest.h>

#include <process.h>

#include "tests/support/StreamingRig.h"

namespace {

// Mended: a host that reuses its callbacks record after createBuffers is
// still called (the driver keeps a copy); start from eight host threads at
// once makes one run, again and again.
TEST(CarelessHostTest, AReusedCallbacksRecordAndConcurrentStarts) {
  StreamingRig rig(StreamMode::Looped);
  ASSERT_TRUE(rig.Init());
  ASIOCallbacks record = *rig.host.Callbacks();
  ASIOBufferInfo info = {ASIOTrue, 0, {nullptr, nullptr}};
  ASSERT_EQ(rig.Asio()->createBuffers(&info, 1, 96, &record), ASE_OK);
  record.bufferSwitch = [](long, ASIOBool) {};
  struct Call {
    IASIO* asio;
    ASIOError result;
  } calls[8];
  auto start = [](void* call) -> unsigned {
    static_cast<Call*>(call)->result = static_cast<Call*>(call)->asio->start();
    return 0;
  };
  for (int round = 0; round < 3; ++round) {
    HANDLE threads[8];
    for (int i = 0; i < 8; ++i) {
      calls[i] = {rig.Asio(), -1};
      threads[i] = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, start, &calls[i], 0, nullptr));
    }
    while (WaitForMultipleObjects(8, threads, TRUE, 1) == WAIT_TIMEOUT) rig.device.Step(96);
    for (int i = 0; i < 8; ++i) {
      CloseHandle(threads[i]);
      EXPECT_EQ(calls[i].result, ASE_OK) << round << " " << i;
    }
    ASSERT_EQ(rig.Asio()->stop(), ASE_OK);
  }
  EXPECT_GE(rig.host.switches, 6);
  EXPECT_EQ(rig.Start(2 * 96), ASE_OK);
  rig.driver.Release();
  EXPECT_EQ(rig.device.OpenHandleCount(), 0u);
}

}  // namespace
