// One gzip member, compressed in parallel.
//
// The importer reads the upload through a stream that finds a second gzip member only by
// chance, so the whole archive must be exactly one member. The uncompressed stream is cut into
// chunks at fixed offsets; workers compress each chunk into raw deflate blocks that end on a
// byte boundary and are not marked final (with the previous 32 KiB as dictionary where the
// backend supports one), and the calling thread writes the pieces in order, combines their
// CRC-32s, and closes the member with an empty final block and the trailer. The chunking does
// not depend on the number of threads, so the same input gives the same bytes however many
// threads compress it.
//
// Backends by level: fast uses ISA-L (level 1), default and best use libdeflate (levels 1 and
// 6); zlib stands in where those are missing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace crateline::archive {

enum class CompressionLevel { kFast, kDefault, kBest };

// How a level compresses: the library, its level, the chunk size, and whether each chunk is
// primed with the 32 KiB before it. Public for the benchmark that chose them.
struct GzipSettings {
  enum class Backend { kZlib, kIsal, kLibdeflate } backend = Backend::kZlib;
  int level = 6;
  std::size_t chunkSize = 1024 * 1024;
  bool dictionary = true;
};
GzipSettings SettingsFor(CompressionLevel level);
// Whether this build has the backend (ISA-L and libdeflate are optional).
bool HasBackend(GzipSettings::Backend backend);

// Parses "fast", "default" or "best"; false for anything else.
bool ParseCompressionLevel(const std::string& text, CompressionLevel& level);
// The backend a level uses in this build, e.g. "ISA-L level 3".
std::string DescribeCompression(CompressionLevel level);

class GzipWriter {
 public:
  // Receives the compressed bytes in order, on the calling thread; may throw.
  using Sink = std::function<void(const char* data, std::size_t size)>;
  // Called on the calling thread while it waits for workers, at least every 50 ms.
  using Idle = std::function<void()>;

  GzipWriter(CompressionLevel level, int threads, Sink sink, Idle idle = {});
  GzipWriter(const GzipSettings& settings, int threads, Sink sink, Idle idle = {});
  ~GzipWriter();
  GzipWriter(const GzipWriter&) = delete;
  GzipWriter& operator=(const GzipWriter&) = delete;

  // Appends uncompressed bytes. Blocks while too much is in flight, so memory stays bounded.
  void Write(const char* data, std::size_t size);
  void Write(const std::string& data) { Write(data.data(), data.size()); }

  // Compresses what is left and writes the end of the member. Nothing may be written after.
  void Finish();

  std::uint64_t BytesIn() const { return bytesIn_; }
  std::uint64_t BytesOut() const { return bytesOut_; }
  // Processor time the compressor itself has taken so far, all threads together: not the
  // CRC, the copies or the writing.
  double CompressionSeconds() const;

 private:
  class Pipeline;
  void Emit(const char* data, std::size_t size);
  void SubmitChunk();

  Sink sink_;
  std::unique_ptr<Pipeline> pipeline_;
  std::string chunk_;
  std::string dictionary_;
  std::size_t chunkSize_;
  bool dictionaryWanted_ = true;
  std::uint64_t bytesIn_ = 0;
  std::uint64_t bytesOut_ = 0;
  std::uint32_t crc_ = 0;
  bool finished_ = false;
};

}  // namespace crateline::archive
