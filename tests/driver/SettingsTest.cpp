// The five per-user preferences: read at init, four written back when the
// driver object goes, and never overwritten by a driver that was not used.
#include <gtest/gtest.h>

#include "tests/support/DriverTestAccess.h"
#include "tests/support/RegistrySandbox.h"

namespace {

using Access = CAsioDriverTestAccess;

const char kKey[] = "SOFTWARE\\Halvorn\\Quorvex Vor OD ASIO\\1.00";

class SettingsTest : public ::testing::Test {
 protected:
  long PreferredSize(InProcessDriver& driver) {
    long minSize, maxSize, preferred = -1, granularity;
    driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
    return preferred;
  }
  DWORD Stored(const char* name) {
    DWORD value = 0xDEADBEEF;
    EXPECT_TRUE(RegistrySandbox::ReadDword(HKEY_CURRENT_USER, kKey, name, &value)) << name;
    return value;
  }

  RegistrySandbox sandbox;
};

TEST_F(SettingsTest, WithoutAKeyTheDefaultsHoldAndAreStoredAfterUse) {
  {
    InProcessDriver driver;
    driver->init(nullptr);
    EXPECT_EQ(PreferredSize(driver), 288);
    EXPECT_FALSE(Access::ShowMetrics(driver.get()));
    EXPECT_FALSE(Access::ModelessPanel(driver.get()));
    EXPECT_FALSE(Access::AutoOpenPanel(driver.get()));
    EXPECT_FALSE(Access::LowLatency(driver.get()));
    EXPECT_FALSE(RegistrySandbox::KeyExists(HKEY_CURRENT_USER, kKey));
  }
  EXPECT_EQ(Stored("Modeless Control Panel"), 0u);
  EXPECT_EQ(Stored("Low Latency"), 0u);
  EXPECT_EQ(Stored("Auto-open Control Panel"), 0u);
  EXPECT_EQ(Stored("Buffer Size Preferred"), 288u);
  DWORD value;
  EXPECT_FALSE(RegistrySandbox::ReadDword(HKEY_CURRENT_USER, kKey, "Show Metrics", &value));
}

// Only the sizes the driver offers are taken; any other stands for the
// default and is left in the registry until the user picks a size.
TEST_F(SettingsTest, PreferredSizeNotOfferedBecomes288AndIsLeftAsStored) {
  const struct {
    DWORD stored;
    long expected;
  } cases[] = {{576, 576}, {96, 96}, {480, 480}, {100, 288}, {577, 288}, {95, 288}, {0, 288},
               {0xFFFFFFFF, 288}, {0x80000060, 288}};
  for (const auto& c : cases) {
    RegistrySandbox::WriteDword(HKEY_CURRENT_USER, kKey, "Buffer Size Preferred", c.stored);
    {
      InProcessDriver driver;
      driver->init(nullptr);
      EXPECT_EQ(PreferredSize(driver), c.expected) << c.stored;
    }
    EXPECT_EQ(Stored("Buffer Size Preferred"), c.stored) << c.stored;
  }
  {
    InProcessDriver driver;
    driver->init(nullptr);
    Access::SetPreferredBufferSize(driver.get(), 192);
  }
  EXPECT_EQ(Stored("Buffer Size Preferred"), 192u);
}

TEST_F(SettingsTest, ValuesOfTheWrongTypeOrSizeAreIgnored) {
  RegistrySandbox::WriteString(HKEY_CURRENT_USER, kKey, "Buffer Size Preferred", "96");
  const unsigned char eightBytes[8] = {1, 0, 0, 0, 0, 0, 0, 0};
  RegistrySandbox::WriteBinary(HKEY_CURRENT_USER, kKey, "Show Metrics", eightBytes, 8);
  RegistrySandbox::WriteString(HKEY_CURRENT_USER, kKey, "Auto-open Control Panel", "1");
  // Four bytes, as a DWORD has, but a string.
  RegistrySandbox::WriteString(HKEY_CURRENT_USER, kKey, "Low Latency", "on!");
  InProcessDriver driver;
  driver->init(nullptr);
  EXPECT_EQ(PreferredSize(driver), 288);
  EXPECT_FALSE(Access::ShowMetrics(driver.get()));
  EXPECT_FALSE(Access::AutoOpenPanel(driver.get()));
  EXPECT_FALSE(Access::LowLatency(driver.get()));
}

TEST_F(SettingsTest, SwitchesAreTrueWhenNonZeroAndWrittenBackAsOne) {
  RegistrySandbox::WriteDword(HKEY_CURRENT_USER, kKey, "Show Metrics", 2);
  RegistrySandbox::WriteDword(HKEY_CURRENT_USER, kKey, "Auto-open Control Panel", 5);
  RegistrySandbox::WriteDword(HKEY_CURRENT_USER, kKey, "Modeless Control Panel", 0xFFFFFFFF);
  RegistrySandbox::WriteDword(HKEY_CURRENT_USER, kKey, "Low Latency", 1);
  {
    InProcessDriver driver;
    driver->init(nullptr);
    EXPECT_TRUE(Access::ShowMetrics(driver.get()));
    EXPECT_TRUE(Access::AutoOpenPanel(driver.get()));
    EXPECT_TRUE(Access::ModelessPanel(driver.get()));
    EXPECT_TRUE(Access::LowLatency(driver.get()));
  }
  EXPECT_EQ(Stored("Auto-open Control Panel"), 1u);
  EXPECT_EQ(Stored("Low Latency"), 1u);
  EXPECT_EQ(Stored("Modeless Control Panel"), 1u);
  // "Show Metrics" is only ever set by hand and left as it was.
  EXPECT_EQ(Stored("Show Metrics"), 2u);
}

// Hosts create and release every driver at start-up without init: that must
// not wipe the user's preferences.
TEST_F(SettingsTest, ADriverReleasedWithoutInitLeavesStoredValuesAlone) {
  RegistrySandbox::WriteDword(HKEY_CURRENT_USER, kKey, "Buffer Size Preferred", 96);
  RegistrySandbox::WriteDword(HKEY_CURRENT_USER, kKey, "Modeless Control Panel", 1);
  { InProcessDriver driver; }
  EXPECT_EQ(Stored("Buffer Size Preferred"), 96u);
  EXPECT_EQ(Stored("Modeless Control Panel"), 1u);
  DWORD value;
  EXPECT_FALSE(RegistrySandbox::ReadDword(HKEY_CURRENT_USER, kKey, "Auto-open Control Panel",
                                          &value));
}

TEST_F(SettingsTest, ChangesMadeWhileLoadedAreStoredOnRelease) {
  RegistrySandbox::WriteDword(HKEY_CURRENT_USER, kKey, "Buffer Size Preferred", 288);
  {
    InProcessDriver driver;
    driver->init(nullptr);
    // What the panel's buffer-size choice does.
    Access::SetPreferredBufferSize(driver.get(), 192);
    EXPECT_EQ(PreferredSize(driver), 192);
  }
  EXPECT_EQ(Stored("Buffer Size Preferred"), 192u);
}

TEST_F(SettingsTest, ControlPanelBeforeInitShowsTheStoredPreferences) {
  RegistrySandbox::WriteDword(HKEY_CURRENT_USER, kKey, "Buffer Size Preferred", 480);
  {
    InProcessDriver driver;
    driver->controlPanel();
    EXPECT_EQ(PreferredSize(driver), 480);
  }
  EXPECT_EQ(Stored("Buffer Size Preferred"), 480u);
}

TEST_F(SettingsTest, AFailedInitReadsTheSettingsAgain) {
  InProcessDriver driver;
  EXPECT_EQ(driver->init(nullptr), ASIOFalse);  // no device under Wine
  EXPECT_EQ(PreferredSize(driver), 288);
  RegistrySandbox::WriteDword(HKEY_CURRENT_USER, kKey, "Buffer Size Preferred", 384);
  EXPECT_EQ(driver->init(nullptr), ASIOFalse);
  EXPECT_EQ(PreferredSize(driver), 384);
}

}  // namespace
