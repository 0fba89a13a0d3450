#include "tools/WavFile.h"

#include <algorithm>

#include "tools/AsioNames.h"

namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatExtensible = 0xFFFE;
constexpr uint32_t kBytesPerSample = 4;

// KSDATAFORMAT_SUBTYPE_PCM: {00000001-0000-0010-8000-00AA00389B71}.
const uint8_t kSubtypePcm[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

void Put16(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t value) {
  Put16(out, value & 0xFFFF);
  Put16(out, value >> 16);
}

void PutTag(std::vector<uint8_t>& out, const char* tag) { out.insert(out.end(), tag, tag + 4); }

uint32_t FormatChunkBytes(uint16_t channels) { return channels > 2 ? 40 : 16; }

}  // namespace

bool WavFits(uint16_t channels, uint64_t frames) {
  const uint64_t overhead = 4 + 8 + FormatChunkBytes(channels) + 8;
  return frames * channels * kBytesPerSample + overhead <= 0xFFFFFFFFull;
}

std::vector<uint8_t> WavHeader(uint16_t channels, uint32_t sampleRate, uint32_t frames) {
  const uint32_t blockAlign = channels * kBytesPerSample;
  const uint32_t dataBytes = frames * blockAlign;
  const uint32_t formatBytes = FormatChunkBytes(channels);
  std::vector<uint8_t> out;
  PutTag(out, "RIFF");
  Put32(out, 4 + 8 + formatBytes + 8 + dataBytes);
  PutTag(out, "WAVE");
  PutTag(out, "fmt ");
  Put32(out, formatBytes);
  Put16(out, channels > 2 ? kFormatExtensible : kFormatPcm);
  Put16(out, channels);
  Put32(out, sampleRate);
  Put32(out, sampleRate * blockAlign);
  Put16(out, blockAlign);
  Put16(out, 8 * kBytesPerSample);
  if (channels > 2) {
    Put16(out, 22);                   // cbSize
    Put16(out, 8 * kBytesPerSample);  // wValidBitsPerSample
    Put32(out, 0);                    // dwChannelMask: inputs have no speaker positions
    out.insert(out.end(), kSubtypePcm, kSubtypePcm + sizeof(kSubtypePcm));
  }
  PutTag(out, "data");
  Put32(out, dataBytes);
  return out;
}

CWavFile::~CWavFile() { Discard(); }

void CWavFile::Discard() {
  if (m_file == INVALID_HANDLE_VALUE) return;
  CloseHandle(m_file);
  m_file = INVALID_HANDLE_VALUE;
  DeleteFileA(m_path.c_str());
}

bool CWavFile::Create(const std::string& path, std::string* error) {
  Discard();
  m_path = path;
  m_file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  if (m_file != INVALID_HANDLE_VALUE) return true;
  *error = "cannot create the WAV file " + path + ": " + DescribeWin32Error(GetLastError());
  return false;
}

bool CWavFile::WriteBytes(const void* data, size_t bytes, std::string* error) {
  DWORD written = 0;
  if (WriteFile(m_file, data, static_cast<DWORD>(bytes), &written, nullptr) && written == bytes)
    return true;
  const DWORD code = GetLastError();
  *error = "cannot write the WAV file " + m_path + ": " +
           (written != bytes && code == ERROR_SUCCESS ? std::string("short write")
                                                      : DescribeWin32Error(code));
  Discard();
  return false;
}

bool CWavFile::Write(const std::vector<const int32_t*>& channels, uint32_t frames,
                     uint32_t sampleRate, std::string* error) {
  if (m_file == INVALID_HANDLE_VALUE) {
    *error = "the WAV file " + m_path + " is not open";
    return false;
  }
  const uint16_t count = static_cast<uint16_t>(channels.size());
  if (channels.empty() || channels.size() > 0xFFFF || !WavFits(count, frames)) {
    *error = "cannot write the WAV file " + m_path + ": " + std::to_string(channels.size()) +
             " channels of " + std::to_string(frames) + " frames do not fit a WAV file";
    Discard();
    return false;
  }
  const std::vector<uint8_t> header = WavHeader(count, sampleRate, frames);
  if (!WriteBytes(header.data(), header.size(), error)) return false;

  const uint32_t chunkFrames = 8192;
  std::vector<int32_t> interleaved(static_cast<size_t>(chunkFrames) * count);
  for (uint32_t first = 0; first < frames; first += chunkFrames) {
    const uint32_t n = std::min(chunkFrames, frames - first);
    for (uint32_t i = 0; i < n; ++i)
      for (uint16_t c = 0; c < count; ++c)
        interleaved[static_cast<size_t>(i) * count + c] = channels[c][first + i];
    if (!WriteBytes(interleaved.data(), sizeof(int32_t) * n * count, error)) return false;
  }
  if (!CloseHandle(m_file)) {
    m_file = INVALID_HANDLE_VALUE;
    *error = "cannot complete the WAV file " + m_path + ": " + DescribeWin32Error(GetLastError());
    DeleteFileA(m_path.c_str());
    return false;
  }
  m_file = INVALID_HANDLE_VALUE;
  return true;
}
