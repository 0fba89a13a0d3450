// The ASIO sample types to and from 32-bit PCM: byte order, container
// alignment, saturation of floating point, and the types refused.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "tools/SampleFormat.h"

namespace {

enum : long {
  kInt16MSB = 0,
  kInt24MSB = 1,
  kInt32MSB = 2,
  kInt32MSB24 = 11,
  kInt32LSB20 = 26,
  kInt32LSB24 = 27,
  kDSDInt8MSB1 = 33
};

std::vector<int32_t> ToInt32(ASIOSampleType type, const std::vector<uint8_t>& bytes, long frames) {
  std::vector<int32_t> samples(static_cast<size_t>(frames));
  SamplesToInt32(type, bytes.data(), samples.data(), frames);
  return samples;
}

std::vector<uint8_t> FromInt32(ASIOSampleType type, const std::vector<int32_t>& samples) {
  std::vector<uint8_t> bytes(samples.size() * SampleTypeBytes(type));
  SamplesFromInt32(type, samples.data(), bytes.data(), static_cast<long>(samples.size()));
  return bytes;
}

std::vector<uint8_t> Floats(const std::vector<float>& values) {
  std::vector<uint8_t> bytes(values.size() * 4);
  memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}

}  // namespace

TEST(SampleFormatTest, IntegerTypesLandInTheTopBits) {
  EXPECT_EQ((std::vector<int32_t>{INT32_MIN, 0x7FFF0000}),
            ToInt32(ASIOSTInt16LSB, {0x00, 0x80, 0xFF, 0x7F}, 2));
  EXPECT_EQ((std::vector<int32_t>{0x12345600, -256}),
            ToInt32(ASIOSTInt24LSB, {0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF}, 2));
  EXPECT_EQ((std::vector<int32_t>{0x12345600}), ToInt32(kInt24MSB, {0x12, 0x34, 0x56}, 1));
  EXPECT_EQ((std::vector<int32_t>{0x12345678}), ToInt32(kInt32MSB, {0x12, 0x34, 0x56, 0x78}, 1));
  EXPECT_EQ((std::vector<int32_t>{0x12345600, -256}),
            ToInt32(kInt32LSB24, {0x56, 0x34, 0x12, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}, 2));
  EXPECT_EQ((std::vector<int32_t>{0x12345600}), ToInt32(kInt32MSB24, {0, 0x12, 0x34, 0x56}, 1));

  EXPECT_EQ((std::vector<uint8_t>{0x34, 0x12}), FromInt32(ASIOSTInt16LSB, {0x12345678}));
  EXPECT_EQ((std::vector<uint8_t>{0x12, 0x34}), FromInt32(kInt16MSB, {0x12345678}));
  EXPECT_EQ((std::vector<uint8_t>{0x56, 0x34, 0x12}), FromInt32(ASIOSTInt24LSB, {0x12345678}));
  EXPECT_EQ((std::vector<uint8_t>{0x45, 0x23, 0x01, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}),
            FromInt32(kInt32LSB20, {0x12345678, -1}));
}

TEST(SampleFormatTest, FloatsScaleAndSaturate) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ((std::vector<int32_t>{0x40000000, INT32_MIN, INT32_MAX, INT32_MIN, 0}),
            ToInt32(ASIOSTFloat32LSB, Floats({0.5f, -1.0f, 1.5f, -7.0f, nan}), 5));
  std::vector<uint8_t> doubles(8);
  const double quarter = -0.25;
  memcpy(doubles.data(), &quarter, 8);
  EXPECT_EQ((std::vector<int32_t>{-0x20000000}), ToInt32(ASIOSTFloat64LSB, doubles, 1));
  EXPECT_EQ(Floats({0.5f, -1.0f}), FromInt32(ASIOSTFloat32LSB, {0x40000000, INT32_MIN}));
}

TEST(SampleFormatTest, TypesAreNamedAndDsdIsRefused) {
  EXPECT_EQ("Int32LSB", SampleTypeName(ASIOSTInt32LSB));
  EXPECT_EQ("Int32MSB24", SampleTypeName(kInt32MSB24));
  EXPECT_EQ("Float64LSB", SampleTypeName(ASIOSTFloat64LSB));
  EXPECT_EQ("DSDInt8MSB1", SampleTypeName(kDSDInt8MSB1));
  EXPECT_EQ("type 99", SampleTypeName(99));
  EXPECT_EQ(3, SampleTypeBytes(kInt24MSB));
  EXPECT_EQ(8, SampleTypeBytes(ASIOSTFloat64LSB));
  EXPECT_EQ(0, SampleTypeBytes(kDSDInt8MSB1));
  EXPECT_EQ(0, SampleTypeBytes(99));
}
