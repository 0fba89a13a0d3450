// CInputCaptureWASAPI: captured packets from an audio session capture client
// that signals an event per packet. Nothing in the driver creates one; the
// owner sets up the client (endpoint, share mode, format, event) and keeps
// both interfaces and the event alive for the stream's life. Its counts are
// frames, where CInputCaptureKS counts samples.
#ifndef VOROD_STREAMING_INPUTCAPTUREWASAPI_H
#define VOROD_STREAMING_INPUTCAPTUREWASAPI_H

#include <windows.h>
#include <audioclient.h>

#include "streaming/InputCapture.h"

class CInputCaptureWASAPI : public CInputCapture {
 public:
  CInputCaptureWASAPI(IAudioClient* audioClient, IAudioCaptureClient* captureClient, HANDLE event);
  ~CInputCaptureWASAPI() override;

  int32_t Start() override;
  void Flush(uint32_t timeoutMs) override;
  bool WaitForPacket(uint32_t timeoutMs) override;
  int32_t* GetPacketData() override;
  uint32_t GetPacketSampleCount() override;
  uint32_t GetBufferSampleCount() override;
  void ReleasePacket() override;

 private:
  IAudioClient* m_audioClient;
  IAudioCaptureClient* m_captureClient;
  HANDLE m_event;
  UINT32 m_framesInPacket;
  UINT32 m_bufferFrames;
  bool m_holdsPacket;  // GetBuffer succeeded and ReleaseBuffer is owed
};

#endif  // VOROD_STREAMING_INPUTCAPTUREWASAPI_H
