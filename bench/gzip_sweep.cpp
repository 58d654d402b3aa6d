// Compresses one file (a tar of the benchmark mailbox) with every backend, level, chunk size
// and priming the gzip writer can use, on the machine's threads, and prints time and size of
// each: the measurement behind the settings each level uses (archive/gzip_writer.cpp).
//
// usage: crateline-gzip-sweep FILE [THREADS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "archive/gzip_writer.h"

using crateline::archive::GzipSettings;
using crateline::archive::GzipWriter;

namespace {

// The compressed size; the data goes in 1 MiB writes, as a conversion's messages do.
std::size_t Compress(const std::string& data, const GzipSettings& settings, int threads) {
  std::size_t out = 0;
  GzipWriter writer(settings, threads, [&](const char*, std::size_t n) { out += n; });
  for (std::size_t at = 0; at < data.size(); at += 1 << 20) {
    writer.Write(data.data() + at, std::min<std::size_t>(1 << 20, data.size() - at));
  }
  writer.Finish();
  return out;
}

std::vector<GzipSettings> Sweep() {
  using B = GzipSettings::Backend;
  std::vector<GzipSettings> sweep;
  for (int level : {1, 2, 3}) {
    for (std::size_t chunk : {128u << 10, 1u << 20, 2u << 20, 4u << 20}) {
      for (bool primed : {false, true}) sweep.push_back({B::kIsal, level, chunk, primed});
    }
  }
  for (int level : {1, 2, 4, 6, 8}) {
    for (std::size_t chunk : {1u << 20, 4u << 20}) {
      sweep.push_back({B::kLibdeflate, level, chunk, false});
    }
  }
  for (int level : {6, 9}) sweep.push_back({B::kZlib, level, 1u << 20, true});
  return sweep;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [THREADS]\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::string data((std::istreambuf_iterator<char>(in)), {});
  const int threads =
      argc > 2 ? std::atoi(argv[2]) : static_cast<int>(std::thread::hardware_concurrency());
  std::printf("%zu MiB, %d threads\n%-10s %5s %6s %7s %8s %12s\n", data.size() >> 20, threads,
              "backend", "level", "chunk", "primed", "seconds", "bytes");
  for (const GzipSettings& s : Sweep()) {
    if (!crateline::archive::HasBackend(s.backend)) continue;
    const auto start = std::chrono::steady_clock::now();
    const std::size_t out = Compress(data, s, threads);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    using B = GzipSettings::Backend;
    const char* name = s.backend == B::kIsal         ? "isa-l"
                       : s.backend == B::kLibdeflate ? "libdeflate"
                                                     : "zlib";
    std::printf("%-10s %5d %5zuK %7s %8.2f %12zu\n", name, s.level, s.chunkSize >> 10,
                s.dictionary ? "yes" : "no", seconds, out);
    std::fflush(stdout);
  }
  return 0;
}
