// CKsAudFilter: a KS filter whose pins are audio pins. CKsAudRenFilter and
// CKsAudCapFilter are the audio filter marked render or capture, with the
// operations that find a pin admitting a wave format, write the format into
// it and instantiate it. Pins stay owned by the filter.
#ifndef VOROD_KS_KSAUDFILTER_H
#define VOROD_KS_KSAUDFILTER_H

#include "ks/KsAudPin.h"
#include "ks/KsFilter.h"

class CKsAudFilter : public CKsFilter {
 public:
  CKsAudFilter(LPCSTR pszName, HRESULT& hr);
  // Creates a CKsAudRenPin, CKsAudCapPin or plain CKsAudPin per pin id by
  // communication and data flow, and files them.
  HRESULT EnumeratePins() override;

 protected:
  // The looped flag of Instantiate for an interface choice: 1 standard
  // streaming, 2 looped streaming, 3 looped streaming where the pin lists
  // it and standard streaming otherwise, anything else the pin's own choice.
  static BOOL LoopedFlag(int nInterface, const CKsAudPin* pPin);
};

class CKsAudRenFilter : public CKsAudFilter {
 public:
  CKsAudRenFilter(LPCSTR pszName, HRESULT& hr);
  // The first render pin admitting the format, or null (also for a null format).
  CKsAudPin* FindViablePin(const WAVEFORMATEX* pwfx);
  BOOL CanCreateRenderPin(const WAVEFORMATEX* pwfx);
  // An instantiated render pin for the format, or null. When the viable pin
  // fails, every render pin is tried in order, ranges unconsidered.
  CKsAudPin* CreateRenderPin(const WAVEFORMATEX* pwfx, int nInterface);
};

class CKsAudCapFilter : public CKsAudFilter {
 public:
  CKsAudCapFilter(LPCSTR pszName, HRESULT& hr);
  CKsAudPin* FindViablePin(const WAVEFORMATEX* pwfx);
  // An instantiated capture pin for the format, or null; no second chance.
  CKsAudPin* CreateCapturePin(const WAVEFORMATEX* pwfx, int nInterface);
  // The first pin the enumeration kept, whatever its kind.
  HRESULT GetCapturePin(CKsAudPin** ppPin);
};

#endif  // VOROD_KS_KSAUDFILTER_H
