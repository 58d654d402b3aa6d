#include "job/conversion.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <utility>

#include "util/utf8_path.h"

namespace crateline::job {
namespace {

namespace fs = std::filesystem;

bool Exists(const std::string& path) {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(util::PathFromUtf8(path), ignored));
}

// Volumes an earlier, larger set left beyond this one's: they would be taken for part of it.
void RemoveStaleVolumes(const std::string& destination, const std::vector<std::string>& written,
                        Result& result) {
  for (const auto& old : ExistingVolumes(destination)) {
    if (std::find(written.begin(), written.end(), old) != written.end()) continue;
    std::error_code error;
    if (!fs::remove(util::PathFromUtf8(old), error) && result.error.empty()) {
      result.error =
          "\"" + old + "\", a volume of an earlier set, could not be removed: " + error.message();
    }
  }
}

}  // namespace

Conversion::Conversion(std::string source, archive::PackOptions options,
                       archive::ArchiveProgress* progress)
    : source_(std::move(source)), writer_(std::move(options), progress) {}

DestinationCheck CheckDestination(const std::string& source, const std::string& destination,
                                  std::uint64_t volumeSize, bool replace) {
  if (!destination.ends_with(".tgz")) return {DestinationProblem::kNotTgz, destination};
  if (util::PathIsInside(destination, source)) {
    return {DestinationProblem::kInsideSource, destination};
  }
  if (replace) return {};
  std::vector<std::string> taken = {archive::ReportPathFor(destination)};
  if (volumeSize == 0) {
    taken.push_back(destination);
  } else {
    for (const auto& volume : ExistingVolumes(destination)) taken.push_back(volume);
  }
  for (const std::string& path : taken) {
    if (Exists(path)) return {DestinationProblem::kExists, path};
  }
  return {};
}

Result Conversion::Read() {
  try {
    writer_.Read(source_);
  } catch (const mailbox::SourceError& error) {
    return Result::Failure(Status::kCannotRead, error.what());
  } catch (const archive::Stopped& error) {
    return Result::Failure(Status::kStopped, error.what());
  }
  return {};
}

Result Conversion::Write(const std::string& destination, bool replace) {
  Result result;
  try {
    writer_.Write(destination);
  } catch (const archive::OutputError& error) {
    return Result::Failure(Status::kCannotCreate, error.what());
  } catch (const archive::Stopped& error) {
    return Result::Failure(Status::kStopped, error.what());
  } catch (const std::exception& error) {
    result = Result::Failure(Status::kFailed, error.what());
    FileReport(destination, false, result);
    return result;
  }
  const archive::ArchiveReport& report = writer_.Report();
  result.status = report.Complete() ? Status::kDone : Status::kIncomplete;
  if (report.volumes.empty()) {
    result.files = {destination};
  } else {
    for (const auto& volume : report.volumes) result.files.push_back(volume.path);
  }
  if (replace && writer_.Options().volumeSize > 0) {
    RemoveStaleVolumes(destination, result.files, result);
  }
  FileReport(destination, true, result);
  return result;
}

void Conversion::FileReport(const std::string& destination, bool written, Result& result) const {
  const archive::ArchiveReport& report = writer_.Report();
  const std::string path = archive::ReportPathFor(destination);
  if (report.Empty()) {
    // The archive was replaced: a report an earlier run left beside it is not its own.
    std::error_code error;
    if (written && Exists(path) && !fs::remove(util::PathFromUtf8(path), error)) {
      result.reportError = "the report of the archive it replaced, \"" + path +
                           "\", could not be removed: " + error.message();
    }
    return;
  }
  // A failed run explains itself in a report, but not beside an archive it did not replace:
  // that archive's own report would be lost, and with it what it left out.
  if (!written && (Exists(destination) || !ExistingVolumes(destination).empty())) return;
  try {
    result.reportPath = archive::WriteReportBeside(destination, source_, report);
  } catch (const std::exception& error) {
    result.reportError = std::string("its report could not be written: ") + error.what();
  }
}

std::vector<std::string> ExistingVolumes(const std::string& destination) {
  std::vector<std::string> found;
  std::error_code error;
  const fs::path path = util::PathFromUtf8(destination);
  for (const auto& entry : fs::directory_iterator(path.parent_path(), error)) {
    const std::string candidate = util::Utf8FromPath(entry.path());
    if (candidate != destination && archive::SetPathOf(candidate) == destination) {
      found.push_back(candidate);
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

Count CountOf(const archive::Plan& plan) {
  std::vector<bool> used(plan.folders.size(), false);
  for (const auto& message : plan.messages) used[message.folder] = true;
  std::set<std::string> folders;  // as Zimbra tells them apart
  for (std::size_t i = 0; i < used.size(); ++i) {
    const std::string& path = plan.folders[i];
    // The top ("") takes the chosen folder's own messages; Zimbra makes every folder on the way
    // to one that holds messages.
    if (!used[i] || path.empty()) continue;
    for (std::size_t end = path.find('/'); end != std::string::npos;
         end = path.find('/', end + 1)) {
      folders.insert(archive::ZimbraFolderKey(path.substr(0, end)));
    }
    folders.insert(archive::ZimbraFolderKey(path));
  }
  const auto mail = std::count_if(plan.messages.begin(), plan.messages.end(), [&](const auto& m) {
    return plan.Source(m).kind == mailbox::ItemKind::kMail;
  });
  return {static_cast<std::size_t>(mail), folders.size()};
}

}  // namespace crateline::job
