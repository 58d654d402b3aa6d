#include "job/send.h"

#include <stdexcept>
#include <utility>

#include "job/conversion.h"

namespace crateline::job {

upload::UploadResult Send(const std::vector<std::string>& sources, archive::PackOptions pack,
                          const upload::UploadOptions& options, upload::UploadListener& listener) {
  if (upload::KindOfSources(sources) == upload::SourceKind::kArchives) {
    return upload::UploadArchives(sources, options, listener);
  }
  if (pack.volumeSize == 0) pack.volumeSize = upload::kDefaultVolumeSize;
  Conversion conversion(sources.front(), std::move(pack));
  // Read before the login: a source that cannot be sent needs none.
  const Result read = conversion.Read();
  if (!read.Ok()) throw std::invalid_argument(read.error);
  return upload::UploadStore(sources.front(), conversion.Writer(), options, listener);
}

}  // namespace crateline::job
