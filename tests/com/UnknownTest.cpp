// The reference-counted base, in process.
#include <gtest/gtest.h>

#include "com/Unknown.h"

namespace {

// A COM object that reports its destruction and can make reference traffic
// while being destroyed, as real objects sometimes do.
class Probe : public CUnknown {
 public:
  Probe(IUnknown* outer, bool* destroyed)
      : CUnknown("Probe", outer, nullptr), m_destroyed(destroyed) {}
  ~Probe() override {
    if (touchDuringDestruction) {
      InnerAddRef();
      InnerRelease();
    }
    *m_destroyed = true;
  }
  bool touchDuringDestruction = false;

 private:
  bool* m_destroyed;
};

TEST(UnknownTest, CountsNeverReachZeroWhileTheObjectLives) {
  bool destroyed = false;
  const LONG before = g_cActiveObjects;
  Probe* probe = new Probe(nullptr, &destroyed);
  EXPECT_EQ(g_cActiveObjects, before + 1);
  // An object whose count never rose still counts as alive.
  EXPECT_EQ(probe->InnerAddRef(), 1u);
  EXPECT_EQ(probe->InnerAddRef(), 2u);
  EXPECT_EQ(probe->InnerRelease(), 1u);
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(probe->InnerRelease(), 0u);
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(g_cActiveObjects, before);
}

TEST(UnknownTest, ReferenceTrafficDuringDestructionDeletesOnce) {
  bool destroyed = false;
  Probe* probe = new Probe(nullptr, &destroyed);
  probe->touchDuringDestruction = true;
  probe->InnerAddRef();
  EXPECT_EQ(probe->InnerRelease(), 0u);
  EXPECT_TRUE(destroyed);
}

TEST(UnknownTest, InnerQueryInterfaceHandsOutTheInnerUnknownOnly) {
  bool destroyed = false;
  Probe* probe = new Probe(nullptr, &destroyed);
  probe->InnerAddRef();
  void* out = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(probe->InnerQueryInterface(IID_IClassFactory, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(probe->InnerQueryInterface(IID_IUnknown, nullptr), E_POINTER);
  ASSERT_EQ(probe->InnerQueryInterface(IID_IUnknown, &out), S_OK);
  EXPECT_EQ(out, static_cast<INonDelegatingUnknown*>(probe));
  EXPECT_EQ(probe->InnerRelease(), 1u);
  // Without an outer unknown, the owner is the object's own inner unknown.
  EXPECT_EQ(static_cast<void*>(probe->GetOwner()), static_cast<INonDelegatingUnknown*>(probe));
  EXPECT_EQ(probe->InnerRelease(), 0u);
}

TEST(UnknownTest, ReturnInterfaceAddsOneReference) {
  bool destroyed = false;
  Probe* probe = new Probe(nullptr, &destroyed);
  probe->InnerAddRef();
  IUnknown* unknown = probe->GetOwner();
  EXPECT_EQ(ReturnInterface(unknown, nullptr), E_POINTER);
  void* out = nullptr;
  EXPECT_EQ(ReturnInterface(unknown, &out), S_OK);
  EXPECT_EQ(out, unknown);
  EXPECT_EQ(probe->InnerRelease(), 1u);
  EXPECT_EQ(probe->InnerRelease(), 0u);
  EXPECT_TRUE(destroyed);
}

}  // namespace
