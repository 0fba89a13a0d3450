#include "com/Unknown.h"

volatile LONG g_cActiveObjects = 0;

CBaseObject::CBaseObject(const char* /*pszName*/) { InterlockedIncrement(&g_cActiveObjects); }

CBaseObject::~CBaseObject() { InterlockedDecrement(&g_cActiveObjects); }

CUnknown::CUnknown(const char* pszName, IUnknown* pOuterUnknown, HRESULT* /*phr*/)
    : CBaseObject(pszName),
      m_pOwnerUnknown(pOuterUnknown != nullptr
                          ? pOuterUnknown
                          : reinterpret_cast<IUnknown*>(static_cast<INonDelegatingUnknown*>(this))),
      m_cReferences(0) {}

CUnknown::~CUnknown() {}

HRESULT STDMETHODCALLTYPE CUnknown::InnerQueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown)) {
    // An aggregating outer object asking for IUnknown gets the inner unknown.
    INonDelegatingUnknown* inner = this;
    *ppv = inner;
    inner->InnerAddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CUnknown::InnerAddRef() {
  LONG count = InterlockedIncrement(&m_cReferences);
  return count > 1 ? static_cast<ULONG>(count) : 1;
}

ULONG STDMETHODCALLTYPE CUnknown::InnerRelease() {
  LONG count = InterlockedDecrement(&m_cReferences);
  if (count == 0) {
    // Reference traffic during destruction must not start a second delete.
    m_cReferences = 1;
    OnFinalRelease();
    return 0;
  }
  return count > 1 ? static_cast<ULONG>(count) : 1;
}

HRESULT ReturnInterface(IUnknown* pUnknown, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = pUnknown;
  pUnknown->AddRef();
  return S_OK;
}
