#include "tests/support/DriverTestAccess.h"

#include "com/ClassFactory.h"
#include "com/ClassIds.h"

InProcessDriver::InProcessDriver() : m_asio(nullptr) {
  CClassFactory* factory = new CClassFactory(&g_ClassTemplates[0]);
  factory->AddRef();
  factory->CreateInstance(nullptr, CLSID_QuorvexVorOdAsio, reinterpret_cast<void**>(&m_asio));
  factory->Release();
}

InProcessDriver::~InProcessDriver() { Release(); }

void InProcessDriver::Release() {
  if (m_asio != nullptr) m_asio->Release();
  m_asio = nullptr;
}
