// Sending to a mailbox as a face asks for it: .tgz files as they are, or a mail store converted
// on the way by the conversion job, in volumes the server can import one at a time.
#pragma once

#include <string>
#include <vector>

#include "archive/archive.h"
#include "upload/upload.h"

namespace crateline::job {

// Sends `sources` (upload::KindOfSources); a store is cut into volumes of `pack.volumeSize`, or
// upload::kDefaultVolumeSize when none is set. Throws std::invalid_argument for sources that
// cannot be sent (a store that cannot be read among them), upload::LoginError.
upload::UploadResult Send(const std::vector<std::string>& sources, archive::PackOptions pack,
                          const upload::UploadOptions& options, upload::UploadListener& listener);

}  // namespace crateline::job
