#include "upload/byte_pipe.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace crateline::upload {

void BytePipe::Write(const void* data, std::size_t size) {
  std::unique_lock lock(mutex_);
  const auto room = [&] { return readerGone_ || held_ < kCapacity; };
  if (!room()) Waiting();
  changed_.wait(lock, room);
  if (readerGone_) throw platform::FileError("the upload", "send", "the connection was closed");
  pieces_.emplace_back(static_cast<const char*>(data), size);
  held_ += size;
  changed_.notify_all();
}

void BytePipe::Commit() {
  const std::lock_guard lock(mutex_);
  ended_ = true;
  changed_.notify_all();
}

void BytePipe::Discard() noexcept {
  const std::lock_guard lock(mutex_);
  discarded_ = true;
  changed_.notify_all();
}

std::size_t BytePipe::Read(char* buffer, std::size_t size) {
  std::unique_lock lock(mutex_);
  const auto ready = [&] { return held_ > 0 || ended_ || discarded_; };
  if (!ready()) Waiting();
  changed_.wait(lock, ready);
  if (discarded_) throw std::runtime_error("the archive could not be made");
  std::size_t given = 0;
  while (given < size && !pieces_.empty()) {
    const std::string& piece = pieces_.front();
    const std::size_t take = std::min(size - given, piece.size() - offset_);
    std::copy_n(piece.data() + offset_, take, buffer + given);
    given += take;
    offset_ += take;
    if (offset_ == piece.size()) {
      pieces_.pop_front();
      offset_ = 0;
    }
  }
  held_ -= given;
  changed_.notify_all();
  return given;
}

void BytePipe::CloseReader() noexcept {
  const std::lock_guard lock(mutex_);
  readerGone_ = true;
  changed_.notify_all();
}

}  // namespace crateline::upload
