// Bytes handed from the thread that makes an archive to the thread that sends it, a bounded
// amount at a time, so that a volume goes up as it is made with no copy on disk and memory stays
// flat however large it is.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "platform/file_io.h"

namespace crateline::upload {

class BytePipe final : public platform::OutputFile {
 public:
  static constexpr std::size_t kCapacity = 8 * 1024 * 1024;

  // The writer's side. Write blocks while the pipe is full and throws once the reader has gone;
  // Commit marks the end of the data; Discard says the data will not be whole.
  void Write(const void* data, std::size_t size) override;
  void Commit() override;
  void Discard() noexcept override;

  // The reader's side: up to `size` bytes, blocking until there are some; 0 at the end. Throws
  // when the writer discarded the data.
  std::size_t Read(char* buffer, std::size_t size);
  // The reader will take no more: the writer's next Write throws.
  void CloseReader() noexcept;

  // The seam for tests: called (holding the pipe's lock: it must not call the pipe) each time a
  // reader or a writer is about to wait, so that a test can act once one is waiting.
  void SetWaitHook(std::function<void()> hook) { waitHook_ = std::move(hook); }

 private:
  void Waiting() {
    if (waitHook_) waitHook_();
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> pieces_;
  std::size_t offset_ = 0;  // into pieces_.front()
  std::size_t held_ = 0;
  bool ended_ = false;
  bool discarded_ = false;
  bool readerGone_ = false;
  std::function<void()> waitHook_;
};

}  // namespace crateline::upload
