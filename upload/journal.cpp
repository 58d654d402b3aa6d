#include "upload/journal.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "archive/archive.h"
#include "platform/file_io.h"
#include "util/utf8_path.h"

namespace crateline::upload {
namespace {

using nlohmann::json;
constexpr const char* kFileName = ".crateline-upload.json";
constexpr int kVersion = 1;

const char* StateName(VolumeState state) {
  return state == VolumeState::kAccepted ? "accepted" : "unknown";
}

json ToJson(const JournalEntry& entry) {
  json out = {{"name", entry.name},
              {"state", StateName(entry.state)},
              {"when", entry.when},
              {"faults", entry.faults}};
  if (!entry.why.empty()) out["why"] = entry.why;
  if (!entry.file.empty()) {
    out["file"] = {{"name", entry.file}, {"size", entry.size}, {"modified", entry.modified}};
  } else {
    json messages = json::array();
    for (const auto& [name, size] : entry.messages) messages.push_back(json::array({name, size}));
    out["messages"] = std::move(messages);
  }
  return out;
}

JournalEntry FromJson(const json& in) {
  JournalEntry entry;
  entry.name = in.at("name").get<std::string>();
  const std::string state = in.at("state").get<std::string>();
  if (state != "accepted" && state != "unknown") throw std::runtime_error("state " + state);
  entry.state = state == "accepted" ? VolumeState::kAccepted : VolumeState::kUnknown;
  entry.when = in.value("when", "");
  entry.why = in.value("why", "");
  entry.faults = in.value("faults", std::size_t{0});
  if (in.contains("file")) {
    const json& file = in.at("file");
    entry.file = file.at("name").get<std::string>();
    entry.size = file.at("size").get<std::uint64_t>();
    entry.modified = file.at("modified").get<std::int64_t>();
  }
  for (const auto& message : in.value("messages", json::array())) {
    entry.messages.emplace_back(message.at(0).get<std::string>(),
                                message.at(1).get<std::uint64_t>());
  }
  return entry;
}

}  // namespace

std::string Journal::PathFor(const std::string& source) {
  std::string trimmed = source;
  while (trimmed.size() > 1 && (trimmed.back() == '/' || trimmed.back() == '\\'))
    trimmed.pop_back();
  const auto parent = util::PathFromUtf8(trimmed).parent_path();
  return util::Utf8FromPath(parent / kFileName);
}

Journal::Uploads Journal::Read(const std::string& path) {
  Uploads uploads;
  std::error_code missing;
  if (!std::filesystem::exists(util::PathFromUtf8(path), missing)) return uploads;  // none yet
  std::ifstream file(util::PathFromUtf8(path), std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  try {
    if (!file) throw std::runtime_error("it cannot be opened");
    const json root = json::parse(text.str());
    if (root.at("crateline-upload").get<int>() != kVersion) {
      throw std::runtime_error("a version this program does not know");
    }
    for (const auto& upload : root.at("uploads")) {
      std::vector<JournalEntry> entries;
      for (const auto& entry : upload.at("volumes")) entries.push_back(FromJson(entry));
      uploads.emplace_back(upload.at("key").get<std::string>(), std::move(entries));
    }
  } catch (const std::exception& e) {
    throw std::runtime_error("the upload journal \"" + path + "\" cannot be read (" + e.what() +
                             "); move it away to start afresh, knowing that what it recorded as "
                             "sent would then be sent again");
  }
  return uploads;
}

Journal::Journal(std::string path) : path_(std::move(path)), uploads_(Read(path_)) {}

std::vector<JournalEntry>& Journal::Entries(const std::string& key) {
  if (std::find(changed_.begin(), changed_.end(), key) == changed_.end()) changed_.push_back(key);
  for (auto& [known, entries] : uploads_) {
    if (known == key) return entries;
  }
  uploads_.emplace_back(key, std::vector<JournalEntry>{});
  return uploads_.back().second;
}

void Journal::Save() const {
  Uploads merged = Read(path_);
  for (const auto& ours : uploads_) {
    if (std::find(changed_.begin(), changed_.end(), ours.first) == changed_.end()) continue;
    const auto it = std::find_if(merged.begin(), merged.end(),
                                 [&](const auto& upload) { return upload.first == ours.first; });
    if (it != merged.end()) {
      it->second = ours.second;
    } else {
      merged.push_back(ours);
    }
  }
  json uploads = json::array();
  for (const auto& [key, entries] : merged) {
    json volumes = json::array();
    for (const auto& entry : entries) volumes.push_back(ToJson(entry));
    uploads.push_back({{"key", key}, {"volumes", std::move(volumes)}});
  }
  const json root = {{"crateline-upload", kVersion}, {"uploads", std::move(uploads)}};
  // Every name in it is UTF-8 already (entry names, and keys and file names through SafeText);
  // a stray byte would be replaced rather than fail the save.
  const std::string text = root.dump(1, ' ', false, json::error_handler_t::replace) + "\n";
  const auto out = platform::CreateAtomicOutput(path_);
  out->Write(text.data(), text.size());
  out->Commit();
}

std::string UploadKey(const std::string& source, const std::string& url, const std::string& user,
                      const std::string& subfolder) {
  // A path need not be UTF-8, and JSON must be: the key holds it escaped. Zimbra's account
  // names are not case-sensitive, and a server's address is the same with a final '/'.
  std::string server = url;
  while (!server.empty() && server.back() == '/') server.pop_back();
  std::string account = user;
  for (char& c : account) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return archive::SafeText(source) + "\n" + server + "\n" + account + "\n" +
         archive::SafeText(subfolder);
}

}  // namespace crateline::upload
