#include "com/ClassFactory.h"

LONG g_cServerLocks = 0;

CClassFactory::CClassFactory(const ClassTemplate* pTemplate)
    : m_pTemplate(pTemplate), m_cReferences(0) {}

HRESULT STDMETHODCALLTYPE CClassFactory::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CClassFactory::AddRef() { return static_cast<ULONG>(++m_cReferences); }

ULONG STDMETHODCALLTYPE CClassFactory::Release() {
  LONG count = --m_cReferences;
  if (count == 0) {
    delete this;
    return 0;
  }
  return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE CClassFactory::CreateInstance(IUnknown* pOuterUnknown, REFIID riid,
                                                        void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  // An aggregated object is only ever handed out through its inner unknown.
  if (pOuterUnknown != nullptr && !IsEqualIID(riid, IID_IUnknown)) return E_NOINTERFACE;

  HRESULT hr = S_OK;
  INonDelegatingUnknown* pObject = m_pTemplate->m_pfnCreate(pOuterUnknown, &hr);
  if (pObject == nullptr) return E_OUTOFMEMORY;
  if (FAILED(hr)) {
    delete pObject;
    return hr;
  }
  // The temporary reference makes a failed query delete the object.
  pObject->InnerAddRef();
  hr = pObject->InnerQueryInterface(riid, ppv);
  pObject->InnerRelease();
  return hr;
}

HRESULT STDMETHODCALLTYPE CClassFactory::LockServer(BOOL bLock) {
  if (bLock)
    ++g_cServerLocks;
  else
    --g_cServerLocks;
  return S_OK;
}
