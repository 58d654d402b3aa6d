#include "job/tar_archive.h"

#include <utility>

namespace crateline::job {

TarArchive::TarArchive(TarArchiveListener* listener) : listener_(listener) {}
TarArchive::~TarArchive() = default;

std::int32_t TarArchive::Answer(Result result) {
  last_ = std::move(result);
  return last_.Ok() ? 1 : 0;
}

std::int32_t TarArchive::AddDirectoryTree(const std::string& path) {
  if (OutputFormat != "gnu") {
    return Answer(Result::Failure(Status::kFailed, "the archive format \"" + OutputFormat +
                                                       "\" is not written; only \"gnu\" is"));
  }
  archive::ArchiveProgress* progress = this;
  job_ = std::make_unique<Conversion>(path, archive::PackOptions{}, progress);
  return Answer(job_->Read());
}

std::int32_t TarArchive::WriteCompressedArchive(const std::string& path) {
  if (job_ == nullptr)
    return Answer(Result::Failure(Status::kFailed, "no folder was added to the archive"));
  return Answer(job_->Write(path, true));
}

void TarArchive::Listing(const std::string& where, std::size_t /*messages*/) {
  if (listener_ != nullptr) listener_->ProgressInfo("Listing", where);
}

void TarArchive::Writing(const std::string& message) {
  if (listener_ != nullptr) listener_->ProgressInfo("Reading", message);
}

void TarArchive::Percent(int percent) {
  bool abort = false;
  if (listener_ != nullptr) listener_->PercentDone(percent, abort);
  if (abort && job_ != nullptr) job_->Cancel();
}

}  // namespace crateline::job
