#include "streaming/InputCaptureWASAPI.h"

CInputCaptureWASAPI::CInputCaptureWASAPI(IAudioClient* audioClient,
                                         IAudioCaptureClient* captureClient, HANDLE event)
    : m_audioClient(audioClient),
      m_captureClient(captureClient),
      m_event(event),
      m_framesInPacket(0),
      m_bufferFrames(0),
      m_holdsPacket(false) {
  if (m_audioClient == nullptr || FAILED(m_audioClient->GetBufferSize(&m_bufferFrames)))
    m_bufferFrames = 0;
}

CInputCaptureWASAPI::~CInputCaptureWASAPI() {
  if (m_holdsPacket) ReleasePacket();
  if (m_audioClient != nullptr) m_audioClient->Stop();
}

int32_t CInputCaptureWASAPI::Start() {
  if (m_audioClient != nullptr) m_audioClient->Start();
  // The first wait then succeeds at once.
  return SetEvent(m_event);
}

void CInputCaptureWASAPI::Flush(uint32_t timeoutMs) {
  for (int i = 0; i < 8; ++i) {
    if (WaitForPacket(timeoutMs)) {
      GetPacketData();
      ReleasePacket();
    }
  }
}

bool CInputCaptureWASAPI::WaitForPacket(uint32_t timeoutMs) {
  return WaitForSingleObject(m_event, timeoutMs) == WAIT_OBJECT_0;
}

int32_t* CInputCaptureWASAPI::GetPacketData() {
  // A packet already held is handed out once only: a second GetBuffer
  // before ReleaseBuffer is out of order.
  if (m_holdsPacket || m_captureClient == nullptr) {
    m_framesInPacket = 0;
    return nullptr;
  }
  BYTE* data = nullptr;
  DWORD flags = 0;
  const HRESULT hr = m_captureClient->GetBuffer(&data, &m_framesInPacket, &flags, nullptr, nullptr);
  if (FAILED(hr) || data == nullptr) {
    // An empty packet (AUDCLNT_S_BUFFER_EMPTY) holds nothing to release.
    if (SUCCEEDED(hr) && hr != AUDCLNT_S_BUFFER_EMPTY) m_holdsPacket = true;
    m_framesInPacket = 0;
    return nullptr;
  }
  m_holdsPacket = true;
  return reinterpret_cast<int32_t*>(data);
}

uint32_t CInputCaptureWASAPI::GetPacketSampleCount() { return m_framesInPacket; }

uint32_t CInputCaptureWASAPI::GetBufferSampleCount() { return m_bufferFrames; }

void CInputCaptureWASAPI::ReleasePacket() {
  if (!m_holdsPacket) return;
  m_captureClient->ReleaseBuffer(m_framesInPacket);
  m_holdsPacket = false;
}
