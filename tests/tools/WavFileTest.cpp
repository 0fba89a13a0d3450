// The WAV writer, byte for byte: RIFF and chunk sizes, the two format
// records, interleaving, and what is left on disk when writing fails.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/WavFile.h"

namespace {

typedef std::vector<uint8_t> Bytes;

void Add(Bytes& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
void Add(Bytes& out, const char* tag) { out.insert(out.end(), tag, tag + 4); }

std::string TempPath(const char* name) {
  char folder[MAX_PATH];
  GetTempPathA(MAX_PATH, folder);
  return std::string(folder) + "vorod-" + std::to_string(GetCurrentProcessId()) + "-" + name;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

TEST(WavFileTest, StereoIsPlainPcmWithInterleavedFrames) {
  const int32_t left[3] = {1, -1, INT32_MIN};
  const int32_t right[3] = {0x01020304, INT32_MAX, 0};
  const std::string path = TempPath("stereo.wav");
  CWavFile wav;
  std::string error;
  ASSERT_TRUE(wav.Create(path, &error)) << error;
  ASSERT_TRUE(wav.Write({left, right}, 3, 48000, &error)) << error;

  Bytes expected;
  Add(expected, "RIFF");
  Add(expected, 4 + 24 + 8 + 24, 4);  // WAVE, fmt chunk, data chunk
  Add(expected, "WAVE");
  Add(expected, "fmt ");
  Add(expected, 16, 4);
  Add(expected, 1, 2);          // WAVE_FORMAT_PCM
  Add(expected, 2, 2);          // channels
  Add(expected, 48000, 4);      // frames per second
  Add(expected, 48000 * 8, 4);  // bytes per second
  Add(expected, 8, 2);          // block align
  Add(expected, 32, 2);         // bits per sample
  Add(expected, "data");
  Add(expected, 24, 4);
  for (int i = 0; i < 3; ++i) {
    Add(expected, static_cast<uint32_t>(left[i]), 4);
    Add(expected, static_cast<uint32_t>(right[i]), 4);
  }
  EXPECT_EQ(expected, ReadFile(path));
  DeleteFileA(path.c_str());
}

TEST(WavFileTest, MoreThanTwoChannelsAreExtensible) {
  const int32_t a[2] = {10, 11}, b[2] = {20, 21}, c[2] = {30, 31};
  const std::string path = TempPath("three.wav");
  CWavFile wav;
  std::string error;
  ASSERT_TRUE(wav.Create(path, &error)) << error;
  ASSERT_TRUE(wav.Write({a, b, c}, 2, 44100, &error)) << error;

  Bytes expected;
  Add(expected, "RIFF");
  Add(expected, 4 + 48 + 8 + 24, 4);
  Add(expected, "WAVE");
  Add(expected, "fmt ");
  Add(expected, 40, 4);
  Add(expected, 0xFFFE, 2);  // WAVE_FORMAT_EXTENSIBLE
  Add(expected, 3, 2);
  Add(expected, 44100, 4);
  Add(expected, 44100 * 12, 4);
  Add(expected, 12, 2);
  Add(expected, 32, 2);
  Add(expected, 22, 2);  // cbSize
  Add(expected, 32, 2);  // valid bits
  Add(expected, 0, 4);   // no speaker positions
  const uint8_t pcm[16] = {0x01, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
  expected.insert(expected.end(), pcm, pcm + 16);
  Add(expected, "data");
  Add(expected, 24, 4);
  for (uint32_t v : {10u, 20u, 30u, 11u, 21u, 31u}) Add(expected, v, 4);
  EXPECT_EQ(expected, ReadFile(path));
  EXPECT_EQ(WavHeader(3, 44100, 2), Bytes(expected.begin(), expected.begin() + 68));
  DeleteFileA(path.c_str());
}

TEST(WavFileTest, FailuresNameTheFileAndLeaveNoHalfWrittenFile) {
  CWavFile wav;
  std::string error;
  const std::string missingFolder = TempPath("no-such-folder\\x.wav");
  EXPECT_FALSE(wav.Create(missingFolder, &error));
  EXPECT_NE(std::string::npos,
            error.find("cannot create the WAV file " + missingFolder + ": error 3"))
      << error;

  const std::string path = TempPath("abandoned.wav");
  {
    CWavFile abandoned;
    ASSERT_TRUE(abandoned.Create(path, &error));
    EXPECT_TRUE(Exists(path));
  }
  EXPECT_FALSE(Exists(path));

  // The RIFF size (all after its first 8 bytes: 36 of headers and the
  // data) must fit 32 bits.
  EXPECT_TRUE(WavFits(2, (0xFFFFFFFFull - 36) / 8));
  EXPECT_FALSE(WavFits(2, (0xFFFFFFFFull - 36) / 8 + 1));
  EXPECT_FALSE(WavFits(16, 0x4000000));
}
