// CKsIrpTarget: the kernel handle of a KS filter or pin, synchronous device
// I/O control on it, and the KS property requests built on that.
#ifndef VOROD_KS_KSIRPTARGET_H
#define VOROD_KS_KSIRPTARGET_H

#include <atomic>

#include "ks/KsDefinitions.h"

// The result of a request that was not completed within the bound.
constexpr HRESULT kHrKsRequestTimedOut = HRESULT_FROM_WIN32(ERROR_TIMEOUT);

// Not polymorphic: CKsFilter and CKsPin derive from it as a plain base.
class CKsIrpTarget {
 public:
  // How long a request is waited for. A device's driver that never completes
  // one (a broken driver of any audio device on the machine) must not hang
  // the host; a working device answers within milliseconds.
  static constexpr DWORD kRequestTimeoutMs = 3000;

  explicit CKsIrpTarget(HANDLE handle);
  ~CKsIrpTarget();
  CKsIrpTarget(const CKsIrpTarget&) = delete;
  CKsIrpTarget& operator=(const CKsIrpTarget&) = delete;

  HANDLE GetHandle();
  // A handle is valid unless it is null or INVALID_HANDLE_VALUE.
  static BOOL IsValidHandle(HANDLE handle);
  // Closes a valid handle and puts INVALID_HANDLE_VALUE back; TRUE and no
  // change for an invalid one, so closing twice is harmless.
  static BOOL SafeCloseHandle(HANDLE& handle);
  BOOL Close();

  // One device I/O control request. A size query (IOCTL_KS_PROPERTY with no
  // output buffer) answered with ERROR_MORE_DATA or ERROR_INSUFFICIENT_BUFFER
  // succeeds with the required size in *pulBytesReturned. pulBytesReturned
  // may be null. A request still pending after kRequestTimeoutMs is
  // cancelled, waited for, and fails with kHrKsRequestTimedOut. hKeptEvent, an
  // auto-reset event the caller keeps for its requests, saves making one
  // (the I/O manager clears it when a request goes pending); without it the
  // request makes and closes its own.
  static HRESULT SyncIoctl(HANDLE handle, ULONG ulIoctl, PVOID pvInBuffer, ULONG cbInBuffer,
                           PVOID pvOutBuffer, ULONG cbOutBuffer, PULONG pulBytesReturned,
                           HANDLE hKeptEvent = nullptr);

  HRESULT PropertySetSupport(REFGUID guidPropertySet);
  HRESULT PropertyBasicSupport(REFGUID guidPropertySet, ULONG nProperty, PULONG pulAccessFlags);

  // The simple and node operations send a KSPROPERTY, KSNODEPROPERTY or
  // KSNODEPROPERTY_AUDIO_CHANNEL followed by cbExtra optional request bytes.
  HRESULT GetPropertySimple(REFGUID guidPropertySet, ULONG nProperty, PVOID pvValue,
                            ULONG cbValue, PVOID pvExtra = nullptr, ULONG cbExtra = 0);
  HRESULT SetPropertySimple(REFGUID guidPropertySet, ULONG nProperty, PVOID pvValue,
                            ULONG cbValue, PVOID pvExtra = nullptr, ULONG cbExtra = 0);
  HRESULT GetNodePropertySimple(ULONG nNodeId, REFGUID guidPropertySet, ULONG nProperty,
                                PVOID pvValue, ULONG cbValue, PVOID pvExtra = nullptr,
                                ULONG cbExtra = 0);
  HRESULT SetNodePropertySimple(ULONG nNodeId, REFGUID guidPropertySet, ULONG nProperty,
                                PVOID pvValue, ULONG cbValue, PVOID pvExtra = nullptr,
                                ULONG cbExtra = 0);
  HRESULT GetNodePropertyChannel(ULONG nNodeId, ULONG nChannel, REFGUID guidPropertySet,
                                 ULONG nProperty, PVOID pvValue, ULONG cbValue,
                                 PVOID pvExtra = nullptr, ULONG cbExtra = 0);
  HRESULT SetNodePropertyChannel(ULONG nNodeId, ULONG nChannel, REFGUID guidPropertySet,
                                 ULONG nProperty, PVOID pvValue, ULONG cbValue,
                                 PVOID pvExtra = nullptr, ULONG cbExtra = 0);

  // Reads a variable-length property (a KSMULTIPLE_ITEM and its items): a
  // size query, then a fetch into a zero-filled buffer of at least the 8-byte
  // header, which the caller frees with free() (also after a failed fetch).
  // A reported size of 0 allocates nothing and leaves *ppBuffer alone.
  // pcbBuffer, if given, receives the bytes allocated: the device's reply is
  // untrusted, so callers check its Count against that size.
  HRESULT GetPropertyMulti(REFGUID guidPropertySet, ULONG nProperty,
                           PKSMULTIPLE_ITEM* ppBuffer, PULONG pcbBuffer = nullptr);

  HANDLE m_handle;
  // A request on m_handle timed out: its driver does not answer, and later
  // requests fail at once instead of waiting out the bound again.
  bool m_bUnresponsive;

 protected:
  // SyncIoctl on m_handle, failing at once once m_bUnresponsive is set.
  HRESULT Request(ULONG ulIoctl, PVOID pvInBuffer, ULONG cbInBuffer, PVOID pvOutBuffer,
                  ULONG cbOutBuffer, PULONG pulBytesReturned);

  // The second pass of a multiple-item read: allocates a zero-filled reply
  // buffer for the size the query reported (at least the 8-byte header),
  // hands it to the caller and fetches into it with the same request.
  HRESULT FetchMultipleItem(PVOID pvRequest, ULONG cbRequest, ULONG cbRequired,
                            PKSMULTIPLE_ITEM* ppBuffer, PULONG pcbBuffer);

 private:
  HRESULT SendProperty(const char* pszName, ULONG cbRecord, ULONG ulFlags, REFGUID guidPropertySet,
                       ULONG nProperty, ULONG nNodeId, ULONG nChannel, PVOID pvValue,
                       ULONG cbValue, PVOID pvExtra, ULONG cbExtra);

  // The target's own completion event, made at its first request and kept:
  // a position read while streaming then costs no event of its own. It
  // serves one request at a time; a request made meanwhile on another thread
  // makes its own.
  HANDLE m_hRequestEvent;
  std::atomic<bool> m_bRequestEventInUse;

  friend class CKsIrpTargetTestAccess;
  // kRequestTimeoutMs, but for tests that meet a device that never answers.
  static DWORD s_dwRequestTimeoutMs;
};

#endif  // VOROD_KS_KSIRPTARGET_H
