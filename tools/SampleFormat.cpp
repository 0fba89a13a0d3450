#include "tools/SampleFormat.h"

#include <cstring>

namespace {

// Published values beyond the common little-endian ones.
enum : long {
  kInt16MSB = 0,
  kInt24MSB = 1,
  kInt32MSB = 2,
  kFloat32MSB = 3,
  kFloat64MSB = 4,
  kInt32MSB16 = 8,
  kInt32MSB18 = 9,
  kInt32MSB20 = 10,
  kInt32MSB24 = 11,
  kInt32LSB16 = 24,
  kInt32LSB18 = 25,
  kInt32LSB20 = 26,
  kInt32LSB24 = 27,
  kDSDInt8LSB1 = 32,
  kDSDInt8MSB1 = 33,
  kDSDInt8NER8 = 40
};

bool IsBigEndian(ASIOSampleType type) { return type >= kInt16MSB && type <= kInt32MSB24; }

// The little-endian twin of a big-endian type.
ASIOSampleType LittleTwin(ASIOSampleType type) {
  switch (type) {
    case kInt16MSB:
      return ASIOSTInt16LSB;
    case kInt24MSB:
      return ASIOSTInt24LSB;
    case kInt32MSB:
      return ASIOSTInt32LSB;
    case kFloat32MSB:
      return ASIOSTFloat32LSB;
    case kFloat64MSB:
      return ASIOSTFloat64LSB;
    case kInt32MSB16:
      return kInt32LSB16;
    case kInt32MSB18:
      return kInt32LSB18;
    case kInt32MSB20:
      return kInt32LSB20;
    case kInt32MSB24:
      return kInt32LSB24;
    default:
      return type;
  }
}

// For 32-bit containers holding fewer bits, right-aligned: the shift to
// the top of the word.
int ContainerShift(ASIOSampleType littleType) {
  switch (littleType) {
    case kInt32LSB16:
      return 16;
    case kInt32LSB18:
      return 14;
    case kInt32LSB20:
      return 12;
    case kInt32LSB24:
      return 8;
    default:
      return 0;
  }
}

inline uint64_t LoadBytes(const uint8_t* p, int bytes, bool big) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i)
    value |= static_cast<uint64_t>(p[big ? bytes - 1 - i : i]) << (8 * i);
  return value;
}

inline void StoreBytes(uint8_t* p, uint64_t value, int bytes, bool big) {
  for (int i = 0; i < bytes; ++i)
    p[big ? bytes - 1 - i : i] = static_cast<uint8_t>(value >> (8 * i));
}

inline int32_t FromDouble(double value) {
  if (!(value == value)) return 0;
  const double scaled = value * 2147483648.0;
  if (scaled >= 2147483647.0) return INT32_MAX;
  if (scaled <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(scaled);
}

inline int32_t TopAligned(uint32_t bits, int shift) { return static_cast<int32_t>(bits << shift); }

// Arithmetic shift of a signed value towards its low bits.
inline uint32_t LowAligned(int32_t value, int shift) {
  return static_cast<uint32_t>(value >> shift);
}

}  // namespace

long SampleTypeBytes(ASIOSampleType type) {
  switch (LittleTwin(type)) {
    case ASIOSTInt16LSB:
      return 2;
    case ASIOSTInt24LSB:
      return 3;
    case ASIOSTInt32LSB:
    case ASIOSTFloat32LSB:
    case kInt32LSB16:
    case kInt32LSB18:
    case kInt32LSB20:
    case kInt32LSB24:
      return 4;
    case ASIOSTFloat64LSB:
      return 8;
    default:
      return 0;
  }
}

std::string SampleTypeName(ASIOSampleType type) {
  switch (type) {
    case kDSDInt8LSB1:
      return "DSDInt8LSB1";
    case kDSDInt8MSB1:
      return "DSDInt8MSB1";
    case kDSDInt8NER8:
      return "DSDInt8NER8";
    default:
      break;
  }
  const char* name = nullptr;
  switch (LittleTwin(type)) {
    case ASIOSTInt16LSB:
      name = "Int16";
      break;
    case ASIOSTInt24LSB:
      name = "Int24";
      break;
    case ASIOSTInt32LSB:
      name = "Int32";
      break;
    case ASIOSTFloat32LSB:
      name = "Float32";
      break;
    case ASIOSTFloat64LSB:
      name = "Float64";
      break;
    case kInt32LSB16:
      name = "Int32%s16";
      break;
    case kInt32LSB18:
      name = "Int32%s18";
      break;
    case kInt32LSB20:
      name = "Int32%s20";
      break;
    case kInt32LSB24:
      name = "Int32%s24";
      break;
    default:
      return "type " + std::to_string(type);
  }
  const char* order = IsBigEndian(type) ? "MSB" : "LSB";
  std::string text(name);
  size_t mark = text.find("%s");
  if (mark == std::string::npos) return text + order;
  return text.replace(mark, 2, order);
}

void SamplesToInt32(ASIOSampleType type, const void* source, int32_t* target, long frames) {
  const uint8_t* p = static_cast<const uint8_t*>(source);
  const bool big = IsBigEndian(type);
  const ASIOSampleType little = LittleTwin(type);
  const int bytes = static_cast<int>(SampleTypeBytes(type));
  if (bytes == 0) {
    memset(target, 0, sizeof(int32_t) * static_cast<size_t>(frames));
    return;
  }
  for (long i = 0; i < frames; ++i, p += bytes) {
    const uint64_t raw = LoadBytes(p, bytes, big);
    switch (little) {
      case ASIOSTInt16LSB:
        target[i] = TopAligned(static_cast<uint32_t>(raw), 16);
        break;
      case ASIOSTInt24LSB:
        target[i] = TopAligned(static_cast<uint32_t>(raw), 8);
        break;
      case ASIOSTFloat32LSB: {
        const uint32_t bits = static_cast<uint32_t>(raw);
        float value;
        memcpy(&value, &bits, sizeof(value));
        target[i] = FromDouble(value);
        break;
      }
      case ASIOSTFloat64LSB: {
        double value;
        memcpy(&value, &raw, sizeof(value));
        target[i] = FromDouble(value);
        break;
      }
      default:
        target[i] = TopAligned(static_cast<uint32_t>(raw), ContainerShift(little));
        break;
    }
  }
}

void SamplesFromInt32(ASIOSampleType type, const int32_t* source, void* target, long frames) {
  uint8_t* p = static_cast<uint8_t*>(target);
  const bool big = IsBigEndian(type);
  const ASIOSampleType little = LittleTwin(type);
  const int bytes = static_cast<int>(SampleTypeBytes(type));
  for (long i = 0; i < frames && bytes != 0; ++i, p += bytes) {
    uint64_t raw = 0;
    switch (little) {
      case ASIOSTInt16LSB:
        raw = LowAligned(source[i], 16);
        break;
      case ASIOSTInt24LSB:
        raw = LowAligned(source[i], 8);
        break;
      case ASIOSTFloat32LSB: {
        const float value = static_cast<float>(source[i] / 2147483648.0);
        uint32_t bits;
        memcpy(&bits, &value, sizeof(bits));
        raw = bits;
        break;
      }
      case ASIOSTFloat64LSB: {
        const double value = source[i] / 2147483648.0;
        memcpy(&raw, &value, sizeof(raw));
        break;
      }
      default:
        raw = LowAligned(source[i], ContainerShift(little));
        break;
    }
    StoreBytes(p, raw, bytes, big);
  }
}
