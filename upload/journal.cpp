#include "upload/journal.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "archive/archive.h"
#include "util/utf8_path.h"

namespace crateline::upload {
namespace {

using nlohmann::json;
constexpr const char* kFileName = ".crateline-upload.json";
constexpr const char* kLockSuffix = ".lock";
constexpr std::uint64_t kVersion = 2;
constexpr std::uint64_t kFirstVersion = 1;  // keyed by absolute path, messages by name and size

const char* StateName(VolumeState state) {
  switch (state) {
    case VolumeState::kSending:
      return "sending";
    case VolumeState::kAccepted:
      return "accepted";
    case VolumeState::kUnknown:
      return "unknown";
  }
  return "unknown";
}

// Numbers are read strictly: what is not a whole number in range is no journal of ours.
std::uint64_t Unsigned(const json& value) {
  if (!value.is_number_unsigned()) throw std::runtime_error("a number that is not a count");
  return value.get<std::uint64_t>();
}

std::string Text(const json& value) {
  if (!value.is_string()) throw std::runtime_error("a text that is not one");
  return value.get<std::string>();
}

std::string TextOr(const json& object, const char* name) {
  return object.contains(name) ? Text(object.at(name)) : std::string();
}

json ToJson(const JournalEntry& entry) {
  json out = {{"number", entry.number},
              {"name", entry.name},
              {"state", StateName(entry.state)},
              {"when", entry.when}};
  if (!entry.why.empty()) out["why"] = entry.why;
  if (!entry.file.empty()) {
    out["file"] = {{"name", entry.file}, {"size", entry.size}, {"digest", entry.fileDigest}};
  }
  json messages = json::array();
  for (const auto& message : entry.messages) {
    messages.push_back(json::array({message.digest, message.entry}));
  }
  out["messages"] = std::move(messages);
  if (!entry.named.empty()) {
    json named = json::array();
    for (const auto& [name, size] : entry.named) named.push_back(json::array({name, size}));
    out["named"] = std::move(named);
  }
  return out;
}

VolumeState StateOf(const std::string& state) {
  if (state == "sending") return VolumeState::kSending;
  if (state == "accepted") return VolumeState::kAccepted;
  if (state == "unknown") return VolumeState::kUnknown;
  throw std::runtime_error("a volume state \"" + state + "\"");
}

JournalEntry FromJson(const json& in, std::uint64_t version, std::uint32_t index) {
  JournalEntry entry;
  entry.number =
      version == kFirstVersion ? index + 1 : static_cast<std::uint32_t>(Unsigned(in.at("number")));
  entry.name = Text(in.at("name"));
  entry.state = StateOf(Text(in.at("state")));
  entry.when = TextOr(in, "when");
  entry.why = TextOr(in, "why");
  if (in.contains("file")) {
    const json& file = in.at("file");
    entry.file = Text(file.at("name"));
    entry.size = Unsigned(file.at("size"));
    entry.fileDigest = TextOr(file, "digest");
  }
  const auto pairs = [](const json& list, const auto& add) {
    if (!list.is_array()) throw std::runtime_error("a list that is not one");
    for (const auto& item : list) {
      if (!item.is_array() || item.size() != 2) throw std::runtime_error("a pair that is not one");
      add(item.at(0), item.at(1));
    }
  };
  if (version == kFirstVersion) {
    pairs(in.value("messages", json::array()), [&](const json& name, const json& size) {
      entry.named.emplace_back(Text(name), Unsigned(size));
    });
    return entry;
  }
  pairs(in.value("messages", json::array()), [&](const json& digest, const json& name) {
    entry.messages.push_back({Text(digest), Text(name)});
  });
  pairs(in.value("named", json::array()), [&](const json& name, const json& size) {
    entry.named.emplace_back(Text(name), Unsigned(size));
  });
  return entry;
}

json ToJson(const RefusedMessage& refused) {
  return {{"digest", refused.digest},
          {"entry", refused.entry},
          {"source", refused.source},
          {"why", refused.why}};
}

RefusedMessage RefusedFromJson(const json& in) {
  return {Text(in.at("digest")), Text(in.at("entry")), Text(in.at("source")), Text(in.at("why"))};
}

bool SameKey(const UploadKey& a, const UploadKey& b) {
  return a.source == b.source && a.server == b.server && a.account == b.account &&
         a.subfolder == b.subfolder;
}

}  // namespace

JournalEntry& Books::Add(JournalEntry entry) {
  std::uint32_t last = 0;
  for (const auto& volume : volumes) last = std::max(last, volume.number);
  entry.number = last + 1;
  volumes.push_back(std::move(entry));
  return volumes.back();
}

std::string Journal::PathFor(const std::string& source) {
  std::string trimmed = source;
  while (trimmed.size() > 1 && (trimmed.back() == '/' || trimmed.back() == '\\'))
    trimmed.pop_back();
  const auto parent = util::PathFromUtf8(trimmed).parent_path();
  return util::Utf8FromPath(parent / kFileName);
}

std::vector<Journal::Upload> Journal::Read(const std::string& path) {
  std::vector<Upload> uploads;
  std::error_code missing;
  if (!std::filesystem::exists(util::PathFromUtf8(path), missing)) return uploads;  // none yet
  std::ifstream file(util::PathFromUtf8(path), std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  try {
    if (!file) throw std::runtime_error("it cannot be opened");
    const json root = json::parse(text.str());
    const std::uint64_t version = Unsigned(root.at("crateline-upload"));
    if (version != kVersion && version != kFirstVersion) {
      throw std::runtime_error("a version this program does not know");
    }
    for (const auto& upload : root.at("uploads")) {
      Upload read;
      if (version == kFirstVersion) {
        read.earlier = Text(upload.at("key"));
      } else {
        read.key = {Text(upload.at("source")), Text(upload.at("server")),
                    Text(upload.at("account")), Text(upload.at("subfolder"))};
        read.earlier = TextOr(upload, "earlier");
        for (const auto& refused : upload.value("refused", json::array())) {
          read.books.refused.push_back(RefusedFromJson(refused));
        }
      }
      std::uint32_t index = 0;
      for (const auto& entry : upload.at("volumes")) {
        read.books.volumes.push_back(FromJson(entry, version, index++));
      }
      uploads.push_back(std::move(read));
    }
  } catch (const std::exception& e) {
    throw std::runtime_error("the upload journal \"" + path + "\" cannot be read (" + e.what() +
                             "); move it away to start afresh, knowing that what it recorded as "
                             "sent would then be sent again");
  }
  return uploads;
}

Journal::Journal(std::string path) : path_(std::move(path)), uploads_(Read(path_)) {}

Books& Journal::BooksOf(const UploadKey& key, const std::string& earlier) {
  std::size_t found = uploads_.size();
  for (std::size_t i = 0; i < uploads_.size(); ++i) {
    if (!uploads_[i].key.source.empty() && SameKey(uploads_[i].key, key)) found = i;
  }
  if (found == uploads_.size()) {
    uploads_.push_back({key, "", {}, false});
  }
  // An earlier version's books of the same upload are taken over, volumes and all.
  for (std::size_t i = 0; i < uploads_.size() && !earlier.empty(); ++i) {
    Upload& old = uploads_[i];
    if (i == found || old.takenOver || old.earlier != earlier || !old.key.source.empty()) continue;
    for (auto& volume : old.books.volumes) uploads_[found].books.Add(std::move(volume));
    old.books.volumes.clear();
    old.takenOver = true;
    changed_.push_back(i);
  }
  if (std::find(changed_.begin(), changed_.end(), found) == changed_.end()) {
    changed_.push_back(found);
  }
  return uploads_[found].books;
}

void Journal::Save() const {
  std::vector<Upload> merged = Read(path_);
  const auto same = [](const Upload& a, const Upload& b) {
    return a.key.source.empty() ? a.earlier == b.earlier && b.key.source.empty()
                                : SameKey(a.key, b.key);
  };
  for (const std::size_t index : changed_) {
    const Upload& ours = uploads_[index];
    const auto it = std::find_if(merged.begin(), merged.end(),
                                 [&](const Upload& upload) { return same(upload, ours); });
    if (it != merged.end()) {
      *it = ours;
    } else {
      merged.push_back(ours);
    }
  }
  json uploads = json::array();
  for (const auto& upload : merged) {
    if (upload.takenOver) continue;
    json volumes = json::array();
    for (const auto& entry : upload.books.volumes) volumes.push_back(ToJson(entry));
    json refused = json::array();
    for (const auto& message : upload.books.refused) refused.push_back(ToJson(message));
    json out = {{"source", upload.key.source},   {"server", upload.key.server},
                {"account", upload.key.account}, {"subfolder", upload.key.subfolder},
                {"volumes", std::move(volumes)}, {"refused", std::move(refused)}};
    if (!upload.earlier.empty()) out["earlier"] = upload.earlier;
    uploads.push_back(std::move(out));
  }
  const json root = {{"crateline-upload", kVersion}, {"uploads", std::move(uploads)}};
  // Every name in it is UTF-8 already (entry names, and paths through SafeText); a stray byte
  // would be replaced rather than fail the save.
  const std::string text = root.dump(1, ' ', false, json::error_handler_t::replace) + "\n";
  const auto out = platform::CreateAtomicOutput(path_);
  out->Write(text.data(), text.size());
  out->Commit();
}

std::unique_ptr<platform::FileLock> Journal::Lock() const {
  return platform::FileLock::TryAcquire(path_ + kLockSuffix);
}

std::string MessageDigest(std::uint64_t length, std::uint32_t crc, std::uint32_t adler) {
  char text[48];
  std::snprintf(text, sizeof text, "%llu-%08x-%08x", static_cast<unsigned long long>(length), crc,
                adler);
  return text;
}

std::string EarlierUploadKey(const std::string& source, const std::string& url,
                             const std::string& user, const std::string& subfolder) {
  std::string server = url;
  while (!server.empty() && server.back() == '/') server.pop_back();
  std::string account = user;
  for (char& c : account) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return archive::SafeText(source) + "\n" + server + "\n" + account + "\n" +
         archive::SafeText(subfolder);
}

}  // namespace crateline::upload
