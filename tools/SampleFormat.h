// The ASIO sample types this host reads and writes, converted to and from
// 32-bit PCM with the value in the top bits (what the WAV file holds).
// The conversions run in the buffer switch: they allocate nothing and take
// no lock.
#ifndef VOROD_TOOLS_SAMPLEFORMAT_H
#define VOROD_TOOLS_SAMPLEFORMAT_H

#include <cstdint>
#include <string>

#include "driver/AsioTypes.h"

// Bytes of one sample of the type; 0 for types this host cannot stream
// (DSD and unknown values).
long SampleTypeBytes(ASIOSampleType type);
// "Int32LSB", "Float32MSB", "DSDInt8MSB1"; "type 99" for unknown values.
std::string SampleTypeName(ASIOSampleType type);

// One channel's frames in the type to 32-bit PCM. Floating-point values
// beyond full scale saturate; NaN becomes 0.
void SamplesToInt32(ASIOSampleType type, const void* source, int32_t* target, long frames);
// 32-bit PCM to the type; narrower types keep the top bits.
void SamplesFromInt32(ASIOSampleType type, const int32_t* source, void* target, long frames);

#endif  // VOROD_TOOLS_SAMPLEFORMAT_H
