// libpff's handles and properties, with its failures turned into exceptions.
#include "mailbox/pff.h"

#include <utility>
#include <vector>

#ifdef _WIN32
#include "util/utf8_path.h"
#endif

namespace crateline::mailbox::pff {
namespace {

constexpr std::int64_t kFiletimeTo1970 = 11644473600LL;
constexpr std::int64_t kFiletimeTicks = 10000000LL;

class EntryHandle {
 public:
  explicit EntryHandle(libpff_record_entry_t* entry) : entry_(entry) {}
  EntryHandle(const EntryHandle&) = delete;
  EntryHandle& operator=(const EntryHandle&) = delete;
  ~EntryHandle() {
    if (entry_ != nullptr) libpff_record_entry_free(&entry_, nullptr);
  }
  libpff_record_entry_t* get() const { return entry_; }

 private:
  libpff_record_entry_t* entry_;
};

// The entry's bytes; nothing when they cannot be read (an empty value is empty, not nothing).
std::optional<std::string> Raw(libpff_record_entry_t* entry) {
  size_t size = 0;
  if (libpff_record_entry_get_data_size(entry, &size, nullptr) != 1) return std::nullopt;
  std::string data(size, '\0');
  if (size > 0 && libpff_record_entry_get_data(entry, reinterpret_cast<uint8_t*>(data.data()), size,
                                               nullptr) != 1) {
    return std::nullopt;
  }
  return data;
}

}  // namespace

void Fail(const std::string& what, libpff_error_t* error) {
  std::string text = what;
  if (error != nullptr) {
    char buffer[1024] = "";
    if (libpff_error_sprint(error, buffer, sizeof buffer) > 0 && buffer[0] != '\0') {
      std::string said = buffer;
      while (!said.empty() && (said.back() == '\n' || said.back() == '.')) said.pop_back();
      // Its words begin with the name of the function that failed, which says nothing to a user.
      const auto colon = said.find(": ");
      if (said.rfind("lib", 0) == 0 && colon != std::string::npos) said.erase(0, colon + 2);
      text += ": " + said;
    }
    libpff_error_free(&error);
  }
  throw Error(text);
}

Item& Item::operator=(Item&& other) noexcept {
  std::swap(item_, other.item_);
  return *this;
}

Item::~Item() {
  if (item_ != nullptr) libpff_item_free(&item_, nullptr);
}

std::uint32_t Item::Id() const {
  uint32_t id = 0;
  libpff_item_get_identifier(item_, &id, nullptr);
  return id;
}

int Item::Sets() const {
  int sets = 0;
  if (libpff_item_get_number_of_record_sets(item_, &sets, nullptr) != 1) return 0;
  return sets;
}

libpff_record_entry_t* Item::Entry(std::uint32_t tag, int set) const {
  libpff_record_set_t* records = nullptr;
  if (libpff_item_get_record_set_by_index(item_, set, &records, nullptr) != 1) return nullptr;
  libpff_record_entry_t* entry = nullptr;
  const int found = libpff_record_set_get_entry_by_type(
      records, tag, 0, &entry, LIBPFF_ENTRY_VALUE_FLAG_MATCH_ANY_VALUE_TYPE, nullptr);
  libpff_record_set_free(&records, nullptr);
  return found == 1 ? entry : nullptr;
}

std::optional<std::string> Item::Text(std::uint32_t tag, int set) const {
  const EntryHandle entry(Entry(tag, set));
  if (entry.get() == nullptr) return std::nullopt;
  size_t size = 0;
  if (libpff_record_entry_get_data_as_utf8_string_size(entry.get(), &size, nullptr) != 1) {
    return std::nullopt;
  }
  std::string text(size, '\0');
  if (size > 0 && libpff_record_entry_get_data_as_utf8_string(
                      entry.get(), reinterpret_cast<uint8_t*>(text.data()), size, nullptr) != 1) {
    return std::nullopt;
  }
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

std::optional<std::string> Item::Bytes(std::uint32_t tag, int set) const {
  const EntryHandle entry(Entry(tag, set));
  if (entry.get() == nullptr) return std::nullopt;
  return Raw(entry.get());
}

std::optional<std::string> Item::BytesOrText(std::uint32_t tag, bool& text) const {
  uint32_t type = 0;
  {
    const EntryHandle entry(Entry(tag, 0));
    if (entry.get() == nullptr) return std::nullopt;
    libpff_record_entry_get_value_type(entry.get(), &type, nullptr);
  }
  text = type == LIBPFF_VALUE_TYPE_STRING_ASCII || type == LIBPFF_VALUE_TYPE_STRING_UNICODE;
  auto value = text ? Text(tag) : Bytes(tag);
  if (!value) throw Error("its value cannot be read");
  return value;
}

std::optional<std::uint32_t> Item::Number(std::uint32_t tag, int set) const {
  const EntryHandle entry(Entry(tag, set));
  uint32_t value = 0;
  if (entry.get() == nullptr ||
      libpff_record_entry_get_data_as_32bit_integer(entry.get(), &value, nullptr) != 1) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::int64_t> Item::Time(std::uint32_t tag, int set) const {
  const EntryHandle entry(Entry(tag, set));
  uint64_t filetime = 0;
  if (entry.get() == nullptr ||
      libpff_record_entry_get_data_as_filetime(entry.get(), &filetime, nullptr) != 1 ||
      filetime == 0) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(filetime / kFiletimeTicks) - kFiletimeTo1970;
}

std::optional<bool> Item::Flag(std::uint32_t tag, int set) const {
  const EntryHandle entry(Entry(tag, set));
  uint8_t value = 0;
  if (entry.get() == nullptr ||
      libpff_record_entry_get_data_as_boolean(entry.get(), &value, nullptr) != 1) {
    return std::nullopt;
  }
  return value != 0;
}

std::optional<std::string> Item::BytesAt(std::uint32_t tag, int index) const {
  const EntryHandle entry(Entry(tag, 0));
  if (entry.get() == nullptr) return std::nullopt;
  libpff_multi_value_t* values = nullptr;
  if (libpff_record_entry_get_multi_value(entry.get(), &values, nullptr) != 1) return std::nullopt;
  std::optional<std::string> out;
  int count = 0;
  size_t size = 0;
  if (libpff_multi_value_get_number_of_values(values, &count, nullptr) == 1 && index < count &&
      libpff_multi_value_get_value_binary_data_size(values, index, &size, nullptr) == 1) {
    std::string data(size, '\0');
    if (size == 0 ||
        libpff_multi_value_get_value_binary_data(
            values, index, reinterpret_cast<uint8_t*>(data.data()), size, nullptr) == 1) {
      out = std::move(data);
    }
  }
  libpff_multi_value_free(&values, nullptr);
  return out;
}

File::File(const std::string& path) : path_(path) {
  libpff_error_t* error = nullptr;
  if (libpff_file_initialize(&file_, &error) != 1) Fail("cannot be read", error);
#ifdef _WIN32
  const std::wstring wide = util::PathFromUtf8(path).wstring();
  const int opened = libpff_file_open_wide(file_, wide.c_str(), LIBPFF_OPEN_READ, &error);
#else
  const int opened = libpff_file_open(file_, path.c_str(), LIBPFF_OPEN_READ, &error);
#endif
  if (opened != 1) {
    libpff_file_free(&file_, nullptr);
    Fail("cannot be opened as an Outlook data file", error);
  }
}

File::~File() {
  libpff_file_close(file_, nullptr);
  libpff_file_free(&file_, nullptr);
}

Item File::Root() const {
  Item item;
  libpff_error_t* error = nullptr;
  if (libpff_file_get_root_folder(file_, item.out(), &error) != 1) {
    Fail("its folder tree cannot be read", error);
  }
  return item;
}

Item File::Store() const {
  Item item;
  if (libpff_file_get_message_store(file_, item.out(), nullptr) != 1) return Item();
  return item;
}

Item File::ById(std::uint32_t id) const {
  Item item;
  libpff_error_t* error = nullptr;
  if (libpff_file_get_item_by_identifier(file_, id, item.out(), &error) != 1) {
    Fail("item " + std::to_string(id) + " cannot be read", error);
  }
  return item;
}

bool File::Corrupted() const {
  return libpff_file_is_corrupted(file_, nullptr) == 1;
}

namespace {

// libpff's calls that give a folder's Nth subfolder or item, or how many it has.
using SubCall = int (*)(libpff_item_t*, int, libpff_item_t**, libpff_error_t**);
using CountCall = int (*)(libpff_item_t*, int*, libpff_error_t**);

Item Sub(const Item& folder, int index, SubCall call, const char* failure) {
  Item item;
  libpff_error_t* error = nullptr;
  if (call(folder.get(), index, item.out(), &error) != 1) Fail(failure, error);
  return item;
}

int Count(const Item& folder, CountCall call, const char* failure) {
  int count = 0;
  libpff_error_t* error = nullptr;
  if (call(folder.get(), &count, &error) != 1) Fail(failure, error);
  return count;
}

}  // namespace

Item SubFolder(const Item& folder, int index) {
  return Sub(folder, index, libpff_folder_get_sub_folder, "the folder cannot be read");
}

Item SubMessage(const Item& folder, int index) {
  return Sub(folder, index, libpff_folder_get_sub_message, "the item cannot be read");
}

int SubFolderCount(const Item& folder) {
  return Count(folder, libpff_folder_get_number_of_sub_folders, "its subfolders cannot be listed");
}

int SubMessageCount(const Item& folder) {
  return Count(folder, libpff_folder_get_number_of_sub_messages, "its items cannot be listed");
}

std::string FolderName(const Item& folder) {
  return folder.Text(kDisplayName).value_or("");
}

}  // namespace crateline::mailbox::pff
