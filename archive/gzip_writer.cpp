#include "archive/gzip_writer.h"

#include "archive/deflate_blocks.h"
#include "platform/processor_time.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#ifdef CRATELINE_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#endif
#ifdef CRATELINE_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace crateline::archive {
namespace {

constexpr std::size_t kDictionarySize = 32 * 1024;  // deflate's window
constexpr int kMaxThreads = 64;  // memory in flight grows with the threads: three chunks each

// The gzip header (RFC 1952), field by field. The time stamp is left 0 so that the same
// mailbox gives the same bytes on another day.
constexpr unsigned char kGzipHeader[10] = {
    0x1f, 0x8b,        // ID1, ID2
    0x08,              // CM: deflate
    0x00,              // FLG: no name, comment, extra field or header CRC
    0,    0,    0, 0,  // MTIME: none
    0x00,              // XFL
    0xff,              // OS: unknown
};

// A final, empty block with fixed codes (BFINAL 1, BTYPE 01, end-of-block code 0000000), the
// shortest way to close a stream whose blocks are all non-final.
constexpr unsigned char kFinalEmptyBlock[2] = {0x03, 0x00};

// A compressed chunk. Its buffer is not cleared when it is made (new char[], not a string):
// zeroing a megabyte for every chunk that the compressor then overwrites was measurable.
struct Compressed {
  std::unique_ptr<char[]> bytes;
  std::size_t size = 0;

  explicit Compressed(std::size_t capacity) : bytes(new char[capacity]) {}
  Compressed() = default;
};

// Compresses one chunk into raw deflate blocks that are not final and end on a byte boundary.
class ChunkCompressor {
 public:
  virtual ~ChunkCompressor() = default;
  virtual Compressed Compress(const std::string& dictionary, const std::string& data) = 0;
};

class ZlibCompressor final : public ChunkCompressor {
 public:
  explicit ZlibCompressor(int level) {
    if (deflateInit2(&stream_, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      throw std::runtime_error("the compressor could not be set up");
    }
  }
  ~ZlibCompressor() override { deflateEnd(&stream_); }

  Compressed Compress(const std::string& dictionary, const std::string& data) override {
    deflateReset(&stream_);
    if (!dictionary.empty()) {
      deflateSetDictionary(&stream_, reinterpret_cast<const Bytef*>(dictionary.data()),
                           static_cast<uInt>(dictionary.size()));
    }
    const std::size_t capacity = deflateBound(&stream_, static_cast<uLong>(data.size())) + 16;
    Compressed out(capacity);
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream_.avail_in = static_cast<uInt>(data.size());
    stream_.next_out = reinterpret_cast<Bytef*>(out.bytes.get());
    stream_.avail_out = static_cast<uInt>(capacity);
    // A sync flush ends on a byte boundary with an empty stored block, not final.
    if (deflate(&stream_, Z_SYNC_FLUSH) != Z_OK || stream_.avail_in != 0) {
      throw std::runtime_error("compression failed");
    }
    out.size = capacity - stream_.avail_out;
    return out;
  }

 private:
  z_stream stream_{};
};

#ifdef CRATELINE_HAVE_ISAL
class IsalCompressor final : public ChunkCompressor {
 public:
  explicit IsalCompressor(int level) : level_(level) {
    static constexpr std::size_t kLevelBuffer[] = {0, ISAL_DEF_LVL1_DEFAULT, ISAL_DEF_LVL2_DEFAULT,
                                                   ISAL_DEF_LVL3_DEFAULT};
    level_ = std::clamp(level, 0, 3);
    levelBuffer_.resize(kLevelBuffer[level_]);
  }

  Compressed Compress(const std::string& dictionary, const std::string& data) override {
    isal_zstream stream{};
    isal_deflate_init(&stream);
    stream.level = static_cast<std::uint32_t>(level_);
    stream.level_buf = levelBuffer_.data();
    stream.level_buf_size = static_cast<std::uint32_t>(levelBuffer_.size());
    stream.flush = SYNC_FLUSH;
    stream.end_of_stream = 0;
    if (!dictionary.empty()) {
      isal_deflate_set_dict(&stream,
                            reinterpret_cast<std::uint8_t*>(const_cast<char*>(dictionary.data())),
                            static_cast<std::uint32_t>(dictionary.size()));
    }
    std::size_t capacity = data.size() + data.size() / 8 + 1024;
    Compressed out(capacity);
    stream.next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<std::uint32_t>(data.size());
    std::size_t used = 0;
    for (;;) {
      stream.next_out = reinterpret_cast<std::uint8_t*>(out.bytes.get() + used);
      stream.avail_out = static_cast<std::uint32_t>(capacity - used);
      if (isal_deflate(&stream) != COMP_OK) throw std::runtime_error("compression failed");
      used = capacity - stream.avail_out;
      if (stream.avail_in == 0 && stream.avail_out > 0) break;  // all in, flush complete
      Compressed larger(capacity * 2);
      std::memcpy(larger.bytes.get(), out.bytes.get(), used);
      out = std::move(larger);
      capacity *= 2;
    }
    out.size = used;
    return out;
  }

 private:
  int level_;
  std::vector<std::uint8_t> levelBuffer_;
};
#endif

#ifdef CRATELINE_HAVE_LIBDEFLATE
// libdeflate compresses a whole buffer into a complete stream, its last block marked final and
// its last byte padded. To chain such streams, the final bit of the last block is cleared and an
// empty stored block brings the end to a byte boundary. Where the last block begins is found by
// walking the stream's blocks (deflate_blocks.h), which decompresses nothing.
class LibdeflateCompressor final : public ChunkCompressor {
 public:
  explicit LibdeflateCompressor(int level) : compressor_(libdeflate_alloc_compressor(level)) {
    if (compressor_ == nullptr) throw std::runtime_error("the compressor could not be set up");
  }
  ~LibdeflateCompressor() override { libdeflate_free_compressor(compressor_); }

  Compressed Compress(const std::string& /*dictionary*/, const std::string& data) override {
    // Room for the stored block MakeNonFinal appends: at most five bytes.
    const std::size_t capacity = libdeflate_deflate_compress_bound(compressor_, data.size()) + 8;
    Compressed out(capacity);
    out.size = libdeflate_deflate_compress(compressor_, data.data(), data.size(), out.bytes.get(),
                                           capacity - 8);
    if (out.size == 0) throw std::runtime_error("compression failed");
    MakeNonFinal(out);
    return out;
  }

 private:
  static void MakeNonFinal(Compressed& stream) {
    char* bytes = stream.bytes.get();
    const auto end = FindDeflateEnd(reinterpret_cast<const unsigned char*>(bytes), stream.size);
    if (!end) throw std::runtime_error("compression failed");
    const std::uint64_t lastHeaderBit = end->lastHeaderBit;
    const int unusedBits = static_cast<int>((8 - end->endBit % 8) % 8);
    stream.size = static_cast<std::size_t>((end->endBit + 7) / 8);
    bytes[lastHeaderBit / 8] &= static_cast<char>(~(1u << (lastHeaderBit % 8)));
    if (unusedBits > 0) bytes[stream.size - 1] &= static_cast<char>((1u << (8 - unusedBits)) - 1);
    // An empty stored block: three header bits of zero (in the padding when it has room), then
    // the lengths 0 and ~0 on the next byte boundary.
    if (unusedBits < 3) bytes[stream.size++] = '\0';
    std::memcpy(bytes + stream.size, "\x00\x00\xff\xff", 4);
    stream.size += 4;
  }

  libdeflate_compressor* compressor_;
};
#endif

using Backend = GzipSettings;

// Chosen by bench/gzip_sweep.cpp on a 1,089 MiB tar of the benchmark mailbox (text, HTML and
// base64 attachments), two threads, sizes against gzip -6:
//   ISA-L levels 1-3, 128 KiB-4 MiB chunks, primed or not: 1.05-1.07 times, 1.2-1.5 s
//   libdeflate level 1, 1 MiB chunks: 1.022 times, 3.9 s (4 MiB: the same)
//   libdeflate level 2: 0.997 times, 5.6 s; level 4: 0.990, 6.3 s
//   libdeflate level 6: 0.984 times, 8.8 s; level 8: 0.984, 11.5 s
//   zlib level 6 primed, as pigz does it: 0.993 times, 22.9 s
// Default takes libdeflate level 1, the fastest within 3% of gzip's size (ISA-L is faster still
// but never within 5%); best takes level 6, the smallest, level 8 saving nothing for a third
// more time; fast takes ISA-L level 1 for those who trade 6% of size for the speed of the disk.
// zlib, primed as pigz does it, stands in where those libraries are missing.
Backend ChooseBackend(CompressionLevel level) {
  using B = Backend::Backend;
  switch (level) {
    case CompressionLevel::kFast:
#ifdef CRATELINE_HAVE_ISAL
      return {B::kIsal, 1, 128 * 1024, true};
#else
      return {B::kZlib, 1, 128 * 1024, true};
#endif
    case CompressionLevel::kDefault:
#ifdef CRATELINE_HAVE_LIBDEFLATE
      return {B::kLibdeflate, 1, 1024 * 1024, false};
#else
      return {B::kZlib, 6, 128 * 1024, true};
#endif
    case CompressionLevel::kBest:
#ifdef CRATELINE_HAVE_LIBDEFLATE
      return {B::kLibdeflate, 6, 1024 * 1024, false};
#else
      return {B::kZlib, 9, 128 * 1024, true};
#endif
  }
  return {B::kZlib, 6, 128 * 1024, true};
}

std::unique_ptr<ChunkCompressor> MakeCompressor(const Backend& backend) {
  switch (backend.backend) {
#ifdef CRATELINE_HAVE_ISAL
    case Backend::Backend::kIsal:
      return std::make_unique<IsalCompressor>(backend.level);
#endif
#ifdef CRATELINE_HAVE_LIBDEFLATE
    case Backend::Backend::kLibdeflate:
      return std::make_unique<LibdeflateCompressor>(backend.level);
#endif
    default:
      return std::make_unique<ZlibCompressor>(backend.level);
  }
}

std::uint32_t Crc32(const std::string& data) {
#ifdef CRATELINE_HAVE_LIBDEFLATE
  return libdeflate_crc32(0, data.data(), data.size());  // several times zlib's speed
#else
  return static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
#endif
}

}  // namespace

bool ParseCompressionLevel(const std::string& text, CompressionLevel& level) {
  if (text == "fast")
    level = CompressionLevel::kFast;
  else if (text == "default")
    level = CompressionLevel::kDefault;
  else if (text == "best")
    level = CompressionLevel::kBest;
  else
    return false;
  return true;
}

std::string DescribeCompression(CompressionLevel level) {
  const Backend b = ChooseBackend(level);
  const char* name = b.backend == Backend::Backend::kIsal         ? "ISA-L"
                     : b.backend == Backend::Backend::kLibdeflate ? "libdeflate"
                                                                  : "zlib";
  return std::string(name) + " level " + std::to_string(b.level);
}

GzipSettings SettingsFor(CompressionLevel level) {
  return ChooseBackend(level);
}

bool HasBackend(GzipSettings::Backend backend) {
#ifdef CRATELINE_HAVE_ISAL
  constexpr bool kIsal = true;
#else
  constexpr bool kIsal = false;
#endif
#ifdef CRATELINE_HAVE_LIBDEFLATE
  constexpr bool kLibdeflate = true;
#else
  constexpr bool kLibdeflate = false;
#endif
  return backend == GzipSettings::Backend::kIsal         ? kIsal
         : backend == GzipSettings::Backend::kLibdeflate ? kLibdeflate
                                                         : true;
}

// Chunks in flight, compressed by worker threads (or on the calling thread when there is one
// thread), handed back strictly in the order they were submitted.
class GzipWriter::Pipeline {
 public:
  struct Job {
    std::string dictionary;
    std::string data;
    Compressed compressed;
    std::uint32_t crc = 0;
    std::size_t size = 0;
    bool done = false;
    std::exception_ptr error;
  };

  Pipeline(const Backend& backend, int threads, Idle idle)
      : idle_(std::move(idle)), limit_(static_cast<std::size_t>(threads) * 3) {
    if (threads <= 1) {
      inline_ = MakeCompressor(backend);
      return;
    }
    // Every compressor is made here, so that one that cannot be made fails the write at once
    // instead of a worker failing the jobs it takes.
    std::vector<std::unique_ptr<ChunkCompressor>> compressors;
    compressors.reserve(static_cast<std::size_t>(threads));
    workers_.reserve(static_cast<std::size_t>(threads));
    for (int i = 0; i < threads; ++i) compressors.push_back(MakeCompressor(backend));
    try {
      for (auto& compressor : compressors) {
        workers_.emplace_back([this, c = compressor.get()] { Work(*c); });
      }
    } catch (...) {
      Stop();
      throw;
    }
    compressors_ = std::move(compressors);
  }

  ~Pipeline() { Stop(); }

  void Stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    workCv_.notify_all();
    for (auto& worker : workers_) worker.join();
    workers_.clear();
  }

  bool Full() const { return inFlight_.size() >= limit_; }
  bool Empty() const { return inFlight_.empty(); }

  void Submit(std::unique_ptr<Job> job) {
    if (inline_) {
      Run(*inline_, *job);
      job->done = true;
      inFlight_.push_back(std::move(job));
      return;
    }
    {
      std::lock_guard lock(mutex_);
      pending_.push_back(job.get());
      inFlight_.push_back(std::move(job));
    }
    workCv_.notify_one();
  }

  // The oldest job once it is done; waits for it, calling idle between short waits.
  std::unique_ptr<Job> TakeOldest() {
    Job* oldest = inFlight_.front().get();
    std::unique_lock lock(mutex_);
    while (!oldest->done) {
      if (!doneCv_.wait_for(lock, std::chrono::milliseconds(50), [&] { return oldest->done; })) {
        lock.unlock();
        if (idle_) idle_();
        lock.lock();
      }
    }
    std::unique_ptr<Job> job = std::move(inFlight_.front());
    inFlight_.pop_front();
    if (job->error) std::rethrow_exception(job->error);
    return job;
  }

  // Whether the oldest job is done, without waiting.
  bool OldestDone() {
    if (inFlight_.empty()) return false;
    std::lock_guard lock(mutex_);
    return inFlight_.front()->done;
  }

  // The seconds spent compressing, all threads together.
  double CompressionSeconds() const { return static_cast<double>(compressionNanos_.load()) / 1e9; }

 private:
  void Run(ChunkCompressor& compressor, Job& job) {
    try {
      // Timed apart from the CRC and the copies, so that a run can tell what the compressor
      // costs from what the rest of the work does.
      const double start = platform::ThreadProcessorSeconds();
      job.compressed = compressor.Compress(job.dictionary, job.data);
      compressionNanos_ += static_cast<std::uint64_t>(
          std::max(0.0, platform::ThreadProcessorSeconds() - start) * 1e9);
      job.crc = Crc32(job.data);
    } catch (...) {
      job.error = std::current_exception();
    }
    job.size = job.data.size();
    job.data.clear();
    job.data.shrink_to_fit();
  }

  void Work(ChunkCompressor& compressor) {
    std::unique_lock lock(mutex_);
    for (;;) {
      workCv_.wait(lock, [&] { return stopping_ || !pending_.empty(); });
      if (stopping_) return;
      Job* job = pending_.front();
      pending_.pop_front();
      lock.unlock();
      Run(compressor, *job);
      lock.lock();
      job->done = true;
      doneCv_.notify_all();
    }
  }

  Idle idle_;
  std::size_t limit_;
  std::unique_ptr<ChunkCompressor> inline_;
  std::vector<std::unique_ptr<ChunkCompressor>> compressors_;  // declared before the workers
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable workCv_;
  std::condition_variable doneCv_;
  std::deque<Job*> pending_;
  std::deque<std::unique_ptr<Job>> inFlight_;  // touched by the calling thread only
  bool stopping_ = false;
  std::atomic<std::uint64_t> compressionNanos_{0};
};

GzipWriter::GzipWriter(CompressionLevel level, int threads, Sink sink, Idle idle)
    : GzipWriter(ChooseBackend(level), threads, std::move(sink), std::move(idle)) {}

GzipWriter::GzipWriter(const GzipSettings& backend, int threads, Sink sink, Idle idle)
    : sink_(std::move(sink)) {
  chunkSize_ = backend.chunkSize;
  threads = std::clamp(threads, 1, kMaxThreads);
  pipeline_ = std::make_unique<Pipeline>(backend, threads, std::move(idle));
  // libdeflate takes no dictionary: its chunks start afresh.
  dictionaryWanted_ = backend.dictionary && backend.backend != Backend::Backend::kLibdeflate;
  chunk_.reserve(chunkSize_);
  Emit(reinterpret_cast<const char*>(kGzipHeader), sizeof kGzipHeader);
}

GzipWriter::~GzipWriter() = default;

double GzipWriter::CompressionSeconds() const {
  return pipeline_->CompressionSeconds();
}

void GzipWriter::Emit(const char* data, std::size_t size) {
  sink_(data, size);
  bytesOut_ += size;
}

void GzipWriter::Write(const char* data, std::size_t size) {
  if (finished_) throw std::logic_error("GzipWriter::Write after Finish");
  while (size > 0) {
    const std::size_t take = std::min(size, chunkSize_ - chunk_.size());
    chunk_.append(data, take);
    data += take;
    size -= take;
    bytesIn_ += take;
    if (chunk_.size() == chunkSize_) SubmitChunk();
  }
}

void GzipWriter::SubmitChunk() {
  while (pipeline_->Full() || pipeline_->OldestDone()) {
    auto done = pipeline_->TakeOldest();
    Emit(done->compressed.bytes.get(), done->compressed.size);
    crc_ = static_cast<std::uint32_t>(
        crc32_combine(crc_, done->crc, static_cast<z_off_t>(done->size)));
  }
  auto job = std::make_unique<Pipeline::Job>();
  if (dictionaryWanted_) job->dictionary = dictionary_;
  job->data.swap(chunk_);
  if (dictionaryWanted_) {
    dictionary_.assign(job->data, job->data.size() - std::min(job->data.size(), kDictionarySize),
                       std::string::npos);
  }
  chunk_.reserve(chunkSize_);
  pipeline_->Submit(std::move(job));
}

void GzipWriter::Finish() {
  if (finished_) return;
  if (!chunk_.empty()) SubmitChunk();
  while (!pipeline_->Empty()) {
    auto done = pipeline_->TakeOldest();
    Emit(done->compressed.bytes.get(), done->compressed.size);
    crc_ = static_cast<std::uint32_t>(
        crc32_combine(crc_, done->crc, static_cast<z_off_t>(done->size)));
  }
  Emit(reinterpret_cast<const char*>(kFinalEmptyBlock), sizeof kFinalEmptyBlock);
  // The trailer: CRC-32 and the input size modulo 2^32, both little-endian.
  unsigned char trailer[8];
  const auto isize = static_cast<std::uint32_t>(bytesIn_);
  for (int i = 0; i < 4; ++i) {
    trailer[i] = static_cast<unsigned char>(crc_ >> (8 * i));
    trailer[4 + i] = static_cast<unsigned char>(isize >> (8 * i));
  }
  Emit(reinterpret_cast<const char*>(trailer), sizeof trailer);
  finished_ = true;
}

}  // namespace crateline::archive
