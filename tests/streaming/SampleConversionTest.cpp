// The conversions between host integers and staged floats.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "streaming/SampleConversion.h"

namespace {

std::vector<int32_t> ConvertFloats(const std::vector<float>& floats) {
  std::vector<int32_t> cells(floats.size());
  memcpy(cells.data(), floats.data(), floats.size() * 4);
  FloatToInt32InPlace(cells.data(), static_cast<long>(cells.size()));
  return cells;
}

TEST(SampleConversionTest, FloatToIntegerUsesTheSymmetricScaleAndTruncates) {
  const std::vector<int32_t> out = ConvertFloats({1.0f, -1.0f, 0.5f, -0.5f, 0.0f, 1e-9f, -1e-9f});
  EXPECT_EQ(out[0], 2147483647);
  EXPECT_EQ(out[1], -2147483647);
  EXPECT_EQ(out[2], 1073741823);
  EXPECT_EQ(out[3], -1073741823);
  EXPECT_EQ(out[4], 0);
  EXPECT_EQ(out[5], 2);
  EXPECT_EQ(out[6], -2);
}

// Mended: products outside the 32-bit range saturate instead of wrapping.
TEST(SampleConversionTest, FloatToIntegerSaturates) {
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<int32_t> out =
      ConvertFloats({1.5f, -1.5f, 2.0f, -2.0f, 1e30f, -1e30f, inf, -inf, std::nanf("")});
  EXPECT_EQ(out[0], INT_MAX);
  EXPECT_EQ(out[1], INT_MIN);
  EXPECT_EQ(out[2], INT_MAX);
  EXPECT_EQ(out[3], INT_MIN);
  EXPECT_EQ(out[4], INT_MAX);
  EXPECT_EQ(out[5], INT_MIN);
  EXPECT_EQ(out[6], INT_MAX);
  EXPECT_EQ(out[7], INT_MIN);
  EXPECT_EQ(out[8], 0);
}

TEST(SampleConversionTest, FloatToIntegerTouchesOnlyTheCountedCells) {
  std::vector<float> floats = {0.25f, 0.25f, 0.25f};
  std::vector<int32_t> cells(3);
  memcpy(cells.data(), floats.data(), 12);
  const int32_t untouched = cells[2];
  FloatToInt32InPlace(cells.data(), 2);
  EXPECT_EQ(cells[0], 536870911);
  EXPECT_EQ(cells[2], untouched);
  FloatToInt32InPlace(cells.data() + 2, 0);
  FloatToInt32InPlace(cells.data() + 2, -5);
  EXPECT_EQ(cells[2], untouched);
}

TEST(SampleConversionTest, IntegerToFloatScalesByTwoToTheMinus31) {
  const std::vector<int32_t> in = {2147483647, INT_MIN, 1073741824, 1, -1, 0};
  std::vector<float> out(in.size(), 99.0f);
  Int32ToFloat(in.data(), out.data(), static_cast<long>(in.size()));
  EXPECT_EQ(out[0], 1.0f);  // 2^31 - 1 rounds to 2^31 in single precision
  EXPECT_EQ(out[1], -1.0f);
  EXPECT_EQ(out[2], 0.5f);
  EXPECT_FLOAT_EQ(out[3], 4.656613e-10f);
  EXPECT_FLOAT_EQ(out[4], -4.656613e-10f);
  EXPECT_EQ(out[5], 0.0f);

  std::vector<float> untouched(2, 99.0f);
  Int32ToFloat(in.data(), untouched.data(), 0);
  EXPECT_EQ(untouched[0], 99.0f);
}

TEST(SampleConversionTest, RoundTripTruncatesOneStepTowardZero) {
  // The float-to-integer scale sits just below 2^31, so a value that comes
  // back through the float stage loses one step toward zero: 256 -> 255.
  for (int32_t sample : {0x7FFFFF00, -0x7FFFFF00, 0x00000100, -0x00000100, 0x12345600}) {
    float staged = 0;
    Int32ToFloat(&sample, &staged, 1);
    int32_t back = 0;
    memcpy(&back, &staged, 4);
    FloatToInt32InPlace(&back, 1);
    EXPECT_EQ(back, sample > 0 ? sample - 1 : sample + 1) << std::hex << sample;
  }
}

}  // namespace
