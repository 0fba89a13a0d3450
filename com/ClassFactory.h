// Class factory and the table of classes the library can create.
#ifndef VOROD_COM_CLASSFACTORY_H
#define VOROD_COM_CLASSFACTORY_H

#include <windows.h>
#include <unknwn.h>

#include "com/Unknown.h"

typedef INonDelegatingUnknown* (*PfnCreateInstance)(IUnknown* pOuterUnknown, HRESULT* phr);
typedef void (*PfnInitClass)(BOOL bLoading, const CLSID* pClassId);

struct ClassTemplate {
  const WCHAR* m_pwszName;
  const CLSID* m_pClassId;
  PfnCreateInstance m_pfnCreate;
  PfnInitClass m_pfnInit;
};

extern const ClassTemplate g_ClassTemplates[];
extern const int g_cClassTemplates;

// Server locks taken through IClassFactory::LockServer.
extern LONG g_cServerLocks;

class CClassFactory : public IClassFactory {
 public:
  explicit CClassFactory(const ClassTemplate* pTemplate);
  virtual ~CClassFactory() {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pOuterUnknown, REFIID riid,
                                           void** ppv) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL bLock) override;

 private:
  const ClassTemplate* m_pTemplate;
  // Plain arithmetic: a factory is used on the thread that obtained it.
  LONG m_cReferences;
};

#endif  // VOROD_COM_CLASSFACTORY_H
