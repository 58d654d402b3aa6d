// TarArchive: the archive component as the window's design knows it (an output format, a folder
// tree added, a compressed archive written, each call answering 1 for success, two events) over
// the conversion job (conversion.h), which does the work. New code uses the job itself.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "job/conversion.h"

namespace crateline::job {

class TarArchiveListener {
 public:
  virtual ~TarArchiveListener() = default;
  // 0 to 100; setting `abort` stops the write.
  virtual void PercentDone(int percent, bool& abort) = 0;
  // `value`: the file or message at hand; `name`: "Listing" while the store is read, "Reading"
  // while its messages are written.
  virtual void ProgressInfo(const std::string& name, const std::string& value) = 0;
};

class TarArchive final : private archive::ArchiveProgress {
 public:
  explicit TarArchive(TarArchiveListener* listener = nullptr);
  ~TarArchive() override;

  std::string OutputFormat = "gnu";  // the only format written

  // Reads the store at `path` (a folder, or a mail-store file) and plans its archive.
  std::int32_t AddDirectoryTree(const std::string& path);
  // Writes what was added at `path`, replacing what is there, with its report beside it.
  std::int32_t WriteCompressedArchive(const std::string& path);

  // Why the last call failed.
  const std::string& LastError() const { return last_.error; }
  // What came of the last call, as the job tells it.
  const Result& LastResult() const { return last_; }
  // The job of the last AddDirectoryTree; none before one.
  Conversion* Job() { return job_.get(); }

 private:
  void Listing(const std::string& where, std::size_t messages) override;
  void Writing(const std::string& message) override;
  void Percent(int percent) override;
  std::int32_t Answer(Result result);

  TarArchiveListener* listener_;
  std::unique_ptr<Conversion> job_;
  Result last_;
};

}  // namespace crateline::job
