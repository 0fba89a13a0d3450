// The captured inputs as a WAV file of 32-bit integer PCM: WAVE_FORMAT_PCM
// for one or two channels, WAVE_FORMAT_EXTENSIBLE (no speaker positions) for
// more.
#ifndef VOROD_TOOLS_WAVFILE_H
#define VOROD_TOOLS_WAVFILE_H

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// RIFF header, format chunk and data chunk header for this many frames.
std::vector<uint8_t> WavHeader(uint16_t channels, uint32_t sampleRate, uint32_t frames);
// Whether the RIFF sizes can describe so much data.
bool WavFits(uint16_t channels, uint64_t frames);

class CWavFile {
 public:
  CWavFile() = default;
  // A file created and never completed is deleted: no half-written WAV is
  // left behind to be mistaken for a recording.
  ~CWavFile();
  CWavFile(const CWavFile&) = delete;
  CWavFile& operator=(const CWavFile&) = delete;

  // Creates (or empties) the file up front, so that a run is not recorded
  // for nothing.
  bool Create(const std::string& path, std::string* error);
  // Writes the header and the channels interleaved; each holds `frames`
  // samples.
  bool Write(const std::vector<const int32_t*>& channels, uint32_t frames, uint32_t sampleRate,
             std::string* error);
  const std::string& Path() const { return m_path; }

 private:
  bool WriteBytes(const void* data, size_t bytes, std::string* error);
  void Discard();

  HANDLE m_file = INVALID_HANDLE_VALUE;
  std::string m_path;
};

#endif  // VOROD_TOOLS_WAVFILE_H
