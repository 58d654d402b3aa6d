// Reads gzip data back with zlib, member by member, for tests.
#pragma once

#include <zlib.h>

#include <stdexcept>
#include <string>

namespace crateline::testing {

// Inflates the first gzip member; `members` counts how many follow one another in the data.
inline std::string Gunzip(const std::string& data, int* members = nullptr) {
  std::string out;
  std::size_t offset = 0;
  int count = 0;
  while (offset < data.size()) {
    z_stream z{};
    inflateInit2(&z, 16 + 15);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + offset));
    z.avail_in = static_cast<uInt>(data.size() - offset);
    char buffer[65536];
    int status = Z_OK;
    do {
      z.next_out = reinterpret_cast<Bytef*>(buffer);
      z.avail_out = sizeof buffer;
      status = inflate(&z, Z_NO_FLUSH);
      if (status != Z_OK && status != Z_STREAM_END) {
        inflateEnd(&z);
        throw std::runtime_error(std::string("bad gzip data: ") + (z.msg ? z.msg : "?"));
      }
      out.append(buffer, sizeof buffer - z.avail_out);
    } while (status != Z_STREAM_END);
    offset = data.size() - z.avail_in;
    inflateEnd(&z);
    ++count;
  }
  if (members != nullptr) *members = count;
  return out;
}

}  // namespace crateline::testing
