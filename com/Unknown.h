// COM object base: live-object counting, reference counting and an inner
// (non-delegating) unknown so that objects can be aggregated.
#ifndef VOROD_COM_UNKNOWN_H
#define VOROD_COM_UNKNOWN_H

#include <windows.h>
#include <unknwn.h>

// Number of live CBaseObjects in the library; DllCanUnloadNow reads it.
extern volatile LONG g_cActiveObjects;

// The inner unknown. Its first three slots have IUnknown's layout, so an
// aggregating outer object can hold it as an IUnknown.
struct INonDelegatingUnknown {
  virtual HRESULT STDMETHODCALLTYPE InnerQueryInterface(REFIID riid, void** ppv) = 0;
  virtual ULONG STDMETHODCALLTYPE InnerAddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE InnerRelease() = 0;
  virtual ~INonDelegatingUnknown() {}
};

class CBaseObject {
 public:
  explicit CBaseObject(const char* pszName);
  ~CBaseObject();
  CBaseObject(const CBaseObject&) = delete;
  CBaseObject& operator=(const CBaseObject&) = delete;
};

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
 public:
  // The HRESULT is left as the caller set it: construction cannot fail here.
  CUnknown(const char* pszName, IUnknown* pOuterUnknown, HRESULT* phr);
  ~CUnknown() override;

  HRESULT STDMETHODCALLTYPE InnerQueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE InnerAddRef() override;
  ULONG STDMETHODCALLTYPE InnerRelease() override;

  IUnknown* GetOwner() const { return m_pOwnerUnknown; }

 protected:
  // Runs when the last reference goes; deletes the object. An object that
  // cannot be destroyed on the releasing thread defers its deletion here.
  virtual void OnFinalRelease() { delete this; }

  // Where a derived object's delegating IUnknown calls go: the outer unknown
  // when aggregated, else this object's own inner unknown.
  IUnknown* const m_pOwnerUnknown;

 private:
  volatile LONG m_cReferences;
};

// Stores pUnknown in *ppv with one reference added (through slot 1, AddRef).
HRESULT ReturnInterface(IUnknown* pUnknown, void** ppv);

#endif  // VOROD_COM_UNKNOWN_H
