#pragma once
// Splitting one fuzz input into several texts.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The input cut at each NUL byte (the separator the seed files use).
inline std::vector<std::string> FuzzParts(const uint8_t* iData, size_t iSize, size_t iMaxParts) {
  std::vector<std::string> parts(1);
  for (size_t i = 0; i < iSize; ++i) {
    if (iData[i] == 0 && parts.size() < iMaxParts)
      parts.emplace_back();
    else
      parts.back() += static_cast<char>(iData[i]);
  }
  return parts;
}
