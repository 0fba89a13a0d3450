#include "tests/support/DriverRegistration.h"

#include <objbase.h>

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "com/ClassIds.h"
#include "tests/support/TestRegistry.h"

std::string ClassIdText() {
  wchar_t text[39] = {};
  StringFromGUID2(CLSID_QuorvexVorOdAsio, text, 39);
  return std::string(text, text + 38);
}

const std::string kClassKey = "CLSID\\" + ClassIdText();
const std::string kInprocKey = kClassKey + "\\InprocServer32";
const std::string kAsioKey = "SOFTWARE\\ASIO";
const std::string kDriverKey = kAsioKey + "\\Quorvex Vor OD ASIO Driver";

std::string LowerCase(std::string text) {
  CharLowerA(&text[0]);
  return text;
}

namespace {

using Names = std::vector<std::string>;
const HKEY kClasses = HKEY_CLASSES_ROOT;
const HKEY kMachine = HKEY_LOCAL_MACHINE;

}  // namespace

void ExpectRegisteredFrom(const std::string& lowerCasePath) {
  EXPECT_EQ(Names{""}, RegistryValueNames(kClasses, kClassKey));
  EXPECT_EQ("Quorvex Vor OD ASIO", GetRegistryText(kClasses, kClassKey, nullptr));
  EXPECT_EQ(Names{"InprocServer32"}, RegistrySubkeyNames(kClasses, kClassKey));
  EXPECT_EQ(Names({"", "ThreadingModel"}), RegistryValueNames(kClasses, kInprocKey));
  EXPECT_EQ(lowerCasePath, GetRegistryText(kClasses, kInprocKey, nullptr));
  EXPECT_EQ("Both", GetRegistryText(kClasses, kInprocKey, "ThreadingModel"));
  EXPECT_EQ(Names({"CLSID", "Description"}), RegistryValueNames(kMachine, kDriverKey));
  EXPECT_EQ(Names{}, RegistrySubkeyNames(kMachine, kDriverKey));
  EXPECT_EQ("Quorvex Vor OD ASIO", GetRegistryText(kMachine, kDriverKey, "Description"));
  // Hosts parse the text with CLSIDFromString.
  std::string text = GetRegistryText(kMachine, kDriverKey, "CLSID");
  std::wstring wide(text.begin(), text.end());
  CLSID clsid = {};
  EXPECT_EQ(S_OK, CLSIDFromString(wide.c_str(), &clsid));
  EXPECT_TRUE(IsEqualCLSID(CLSID_QuorvexVorOdAsio, clsid)) << text;
  EXPECT_EQ(std::string::npos, text.find_first_of("abcdef")) << text;
  // Every value is text with exactly one terminating zero.
  const std::pair<HKEY, std::string> keys[] = {
      {kClasses, kClassKey}, {kClasses, kInprocKey}, {kMachine, kDriverKey}};
  for (const auto& key : keys)
    for (const auto& value : ReadRegistryTree(key.first, key.second).values) {
      EXPECT_EQ(DWORD(REG_SZ), value.second.first) << key.second << " " << value.first;
      EXPECT_EQ(strlen(value.second.second.c_str()) + 1, value.second.second.size());
    }
}
