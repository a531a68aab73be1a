// How registry data is shown in tree and call texts, on every build: quoted,
// a zero byte as \0, other bytes below 0x20 and 0x7f as \xNN.
#ifndef ZARVEL_REGISTRY_SHOWN_BYTES_H_
#define ZARVEL_REGISTRY_SHOWN_BYTES_H_

#include <string>

inline std::string shownBytes(const std::string& bytes) {
  static constexpr char kHexDigits[] = "0123456789abcdef";
  std::string out = "\"";
  for (unsigned char c : bytes) {
    if (c == 0) {
      out += "\\0";
    } else if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out += kHexDigits[c >> 4];
      out += kHexDigits[c & 0xf];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

#endif  // ZARVEL_REGISTRY_SHOWN_BYTES_H_
