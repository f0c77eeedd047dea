// Helpers shared by the fuzz targets: the input as NUL-terminated text, and
// one input split into several texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kyrel_fuzz {

// The bytes as a std::string (c_str() is NUL-terminated; an embedded NUL ends
// the text for the C-string readers, as it would in a request).
inline std::string text(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// Splits at every byte 0x01, so one input can carry several related texts
// (for example a procedure body and its parameter declarations).
inline std::vector<std::string> parts(const uint8_t* data, size_t size, size_t at_least) {
    std::vector<std::string> out(1);
    for (size_t i = 0; i < size; i++) {
        if (data[i] == 0x01)
            out.emplace_back();
        else
            out.back() += static_cast<char>(data[i]);
    }
    while (out.size() < at_least) out.emplace_back();
    return out;
}

}  // namespace kyrel_fuzz
