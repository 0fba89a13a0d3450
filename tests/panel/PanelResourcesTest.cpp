// The panel's resources inside the built DLL: the dialog template read back
// control by control, and the two bitmaps.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "resources/resource.h"
#include "tests/support/DriverDll.h"

namespace {

// Reads a dialog template (DLGTEMPLATEEX) the way the dialog manager does.
class TemplateReader {
 public:
  explicit TemplateReader(const BYTE* data) : m_p(data) {}
  WORD Word() { return Read<WORD>(); }
  DWORD Dword() { return Read<DWORD>(); }
  short Short() { return Read<short>(); }
  BYTE Byte() { return Read<BYTE>(); }
  // A string, or "#<ordinal>" for an ordinal.
  std::string SzOrOrd() {
    if (*reinterpret_cast<const WORD*>(m_p) == 0xFFFF) {
      m_p += 2;
      return "#" + std::to_string(Word());
    }
    return Text();
  }
  std::string Text() {
    std::string text;
    for (WORD c = Word(); c != 0; c = Word()) text += static_cast<char>(c);
    return text;
  }
  void AlignDword(const BYTE* base) {
    while ((m_p - base) % 4 != 0) ++m_p;
  }
  void Skip(size_t bytes) { m_p += bytes; }

 private:
  template <typename T>
  T Read() {
    T value;
    memcpy(&value, m_p, sizeof(T));
    m_p += sizeof(T);
    return value;
  }
  const BYTE* m_p;
};

struct Item {
  DWORD exStyle;
  DWORD style;
  short x, y, cx, cy;
  DWORD id;
  std::string windowClass;
  std::string title;
};

// Class ordinals of the predefined window classes.
std::string ClassName(const std::string& raw) {
  if (raw == "#128") return "button";
  if (raw == "#130") return "static";
  if (raw == "#133") return "combobox";
  std::string lower;
  for (char c : raw) lower += static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return lower;
}

class PanelResourcesTest : public ::testing::Test {
 protected:
  const BYTE* Resource(int id, int type, DWORD* size) {
    HRSRC info = FindResourceA(dll.Module(), MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(type));
    if (info == nullptr) return nullptr;
    *size = SizeofResource(dll.Module(), info);
    return static_cast<const BYTE*>(LockResource(LoadResource(dll.Module(), info)));
  }
  DriverDll dll{ProductionDllPath()};
};

TEST_F(PanelResourcesTest, DialogTemplateMatchesTheLayout) {
  DWORD size = 0;
  const BYTE* base = Resource(IDD_CONTROL_PANEL, 5 /* RT_DIALOG */, &size);
  ASSERT_NE(base, nullptr);
  TemplateReader in(base);
  ASSERT_EQ(in.Word(), 1);       // dlgVer
  ASSERT_EQ(in.Word(), 0xFFFF);  // extended template
  in.Dword();                    // help id
  EXPECT_EQ(in.Dword(), static_cast<DWORD>(WS_EX_STATICEDGE));
  EXPECT_EQ(in.Dword(), static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME |
                                           DS_SETFONT));
  const WORD count = in.Word();
  EXPECT_EQ(in.Short(), 0);
  EXPECT_EQ(in.Short(), 0);
  EXPECT_EQ(in.Short(), 291);
  EXPECT_EQ(in.Short(), 223);
  EXPECT_EQ(in.SzOrOrd(), "");  // menu
  EXPECT_EQ(in.SzOrOrd(), "");  // class
  EXPECT_EQ(in.Text(), "Dialog");
  EXPECT_EQ(in.Word(), 9);    // points
  EXPECT_EQ(in.Word(), 400);  // weight
  EXPECT_EQ(in.Byte(), 0);    // italic
  in.Byte();                  // character set
  EXPECT_EQ(in.Text(), "Microsoft Sans Serif");

  std::vector<Item> items;
  for (WORD i = 0; i < count; ++i) {
    in.AlignDword(base);
    Item item;
    in.Dword();  // help id
    item.exStyle = in.Dword();
    item.style = in.Dword();
    item.x = in.Short();
    item.y = in.Short();
    item.cx = in.Short();
    item.cy = in.Short();
    item.id = in.Dword();
    item.windowClass = ClassName(in.SzOrOrd());
    item.title = in.SzOrOrd();
    in.Skip(in.Word());
    items.push_back(item);
  }

  const DWORD child = WS_CHILD | WS_VISIBLE;
  const Item expected[] = {
      {0, child | BS_DEFPUSHBUTTON | WS_TABSTOP, 234, 202, 50, 14, IDOK, "button", "OK"},
      {0, child | SS_CENTER | WS_GROUP, 7, 147, 277, 21, IDC_ABOUT_TEXT, "static",
       "Low-latency ASIO driver for the Quorvex Vor OD\nCopyright (c) 2026 Halvorn. All rights "
       "reserved."},
      {0, child | BS_AUTOCHECKBOX | BS_LEFTTEXT | BS_RIGHT | WS_TABSTOP, 7, 39, 274, 9,
       IDC_MODELESS_PANEL, "button", "Modeless Control Panel "},
      {0, child | BS_AUTOCHECKBOX | BS_LEFTTEXT | BS_RIGHT | WS_TABSTOP, 7, 53, 274, 9,
       IDC_AUTO_OPEN_PANEL, "button", "Automatically open Control Panel when driver is opened "},
      {0, child | SS_CENTER | SS_CENTERIMAGE | WS_GROUP, 7, 174, 277, 12, IDC_VERSION_LINE,
       "static", "Quorvex Vor OD ASIO Control Panel"},
      {WS_EX_CLIENTEDGE, child | SS_BITMAP, 7, 196, 59, 20, 0xFFFFFFFF, "static", "#102"},
      {0, child | SS_BITMAP, 7, 78, 278, 53, 0xFFFFFFFF, "static", "#104"},
      {0, child | CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 244, 21, 39, 400, IDC_BUFFER_SIZE,
       "combobox", ""},
      {0, child | SS_RIGHT | WS_GROUP, 97, 23, 144, 9, IDC_BUFFER_SIZE_LABEL, "static",
       "Preferred ASIO Buffer Size"},
      {0, child | BS_AUTOCHECKBOX | BS_LEFTTEXT | BS_RIGHT | WS_TABSTOP, 203, 39, 80, 10,
       IDC_LOW_LATENCY, "button", "Low Latency"},
      {0, child | SS_RIGHT | WS_GROUP, 143, 54, 140, 9, IDC_ROUND_TRIP, "static", ""},
  };
  ASSERT_EQ(items.size(), sizeof(expected) / sizeof(expected[0]));
  for (size_t i = 0; i < items.size(); ++i) {
    const Item& got = items[i];
    const Item& want = expected[i];
    SCOPED_TRACE("control " + std::to_string(i) + " (" + want.title + ")");
    EXPECT_EQ(got.id, want.id);
    EXPECT_EQ(got.windowClass, want.windowClass);
    EXPECT_EQ(got.title, want.title);
    EXPECT_EQ(got.style, want.style);
    EXPECT_EQ(got.exStyle, want.exStyle);
    EXPECT_EQ(got.x, want.x);
    EXPECT_EQ(got.y, want.y);
    EXPECT_EQ(got.cx, want.cx);
    EXPECT_EQ(got.cy, want.cy);
  }
}

TEST_F(PanelResourcesTest, BitmapsHaveTheirSizesAt24BitsPerPixel) {
  const struct {
    int id;
    LONG width, height;
  } bitmaps[] = {{IDB_WORDMARK, 100, 34}, {IDB_BANNER, 486, 100}};
  for (const auto& b : bitmaps) {
    DWORD size = 0;
    const BYTE* data = Resource(b.id, 2 /* RT_BITMAP */, &size);
    ASSERT_NE(data, nullptr) << b.id;
    ASSERT_GE(size, sizeof(BITMAPINFOHEADER));
    BITMAPINFOHEADER header;
    memcpy(&header, data, sizeof(header));
    EXPECT_EQ(header.biWidth, b.width) << b.id;
    EXPECT_EQ(header.biHeight, b.height) << b.id;
    EXPECT_EQ(header.biBitCount, 24) << b.id;
    // Rows of 3-byte pixels padded to 4 bytes.
    const DWORD rowBytes = (static_cast<DWORD>(b.width) * 3 + 3) & ~3u;
    EXPECT_GE(size, header.biSize + rowBytes * static_cast<DWORD>(b.height)) << b.id;
  }
}

}  // namespace
