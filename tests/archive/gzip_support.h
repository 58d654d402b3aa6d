// Writes and reads gzip and raw deflate data with zlib, for tests.
#pragma once

#include <zlib.h>

#include <stdexcept>
#include <string>

namespace crateline::testing {

// Deflates with zlib in one go: windowBits -15 for a raw stream, 16 + 15 for a gzip member.
inline std::string ZlibDeflate(const std::string& data, int level, int windowBits,
                               int strategy = Z_DEFAULT_STRATEGY) {
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, windowBits, 8, strategy);
  std::string out(deflateBound(&z, static_cast<uLong>(data.size())) + 16, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(out.size() - z.avail_out);
  deflateEnd(&z);
  return out;
}

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
