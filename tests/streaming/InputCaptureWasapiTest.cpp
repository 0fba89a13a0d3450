// CInputCaptureWASAPI against small fakes of the two audio-client interfaces.
#include <gtest/gtest.h>

#include <vector>

#include "streaming/InputCaptureWASAPI.h"

namespace {

// Only the calls the stream makes do anything; the rest fail.
class FakeAudioClient : public IAudioClient {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE, DWORD, REFERENCE_TIME, REFERENCE_TIME,
                                       const WAVEFORMATEX*, LPCGUID) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override {
    *frames = 480;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*,
                                              WAVEFORMATEX**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Start() override {
    ++starts;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Stop() override {
    ++stops;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetService(REFIID, void**) override { return E_NOTIMPL; }
  int starts = 0;
  int stops = 0;
};

class FakeCaptureClient : public IAudioCaptureClient {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* position,
                                      UINT64* qpc) override {
    nullPositions = position == nullptr && qpc == nullptr;
    if (FAILED(next)) return next;
    *data = reinterpret_cast<BYTE*>(samples.data());
    *frames = 120;
    *flags = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
    released.push_back(frames);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32*) override { return E_NOTIMPL; }
  HRESULT next = S_OK;
  bool nullPositions = false;
  std::vector<int32_t> samples = std::vector<int32_t>(240, 5);
  std::vector<UINT32> released;
};

class InputCaptureWasapiTest : public ::testing::Test {
 protected:
  void TearDown() override { CloseHandle(event); }
  FakeAudioClient audio;
  FakeCaptureClient capture;
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
};

TEST_F(InputCaptureWasapiTest, PacketsCountFramesAndGoBackToTheClient) {
  {
    CInputCaptureWASAPI stream(&audio, &capture, event);
    EXPECT_EQ(stream.GetBufferSampleCount(), 480u);
    EXPECT_EQ(stream.GetSamplesPerPacket(), 0u);
    EXPECT_FALSE(stream.WaitForPacket(0));
    EXPECT_NE(stream.Start(), 0);
    EXPECT_EQ(audio.starts, 1);
    // Start signals the event itself: the first wait succeeds at once.
    ASSERT_TRUE(stream.WaitForPacket(0));
    EXPECT_EQ(stream.GetPacketData(), capture.samples.data());
    EXPECT_TRUE(capture.nullPositions);
    EXPECT_EQ(stream.GetPacketSampleCount(), 120u);
    stream.ReleasePacket();
    ASSERT_EQ(capture.released.size(), 1u);
    EXPECT_EQ(capture.released[0], 120u);
    EXPECT_EQ(audio.stops, 0);
  }
  EXPECT_EQ(audio.stops, 1);
}

TEST_F(InputCaptureWasapiTest, AFailedGetBufferHandsOutNothingAndReleasesNothing) {
  CInputCaptureWASAPI stream(&audio, &capture, event);
  capture.next = AUDCLNT_E_DEVICE_INVALIDATED;
  EXPECT_EQ(stream.GetPacketData(), nullptr);
  EXPECT_EQ(stream.GetPacketSampleCount(), 0u);
  stream.ReleasePacket();
  EXPECT_TRUE(capture.released.empty());
}

TEST_F(InputCaptureWasapiTest, FlushTakesWhateverIsReadyUpToEightTimes) {
  {
    CInputCaptureWASAPI stream(&audio, &capture, event);
    SetEvent(event);
    stream.Flush(0);
    EXPECT_EQ(capture.released.size(), 1u);
    SetEvent(event);
    ASSERT_TRUE(stream.WaitForPacket(0));
    stream.GetPacketData();
  }
  // A packet still held when the stream goes is given back first.
  EXPECT_EQ(capture.released.size(), 2u);
}

}  // namespace
