// The report of a conversion: as text for the terminal, and as a file beside the archive that
// belongs to that archive (written whole, replacing the one an earlier run left there).
#include <algorithm>
#include <cstdio>
#include <fstream>

#include "archive/archive.h"
#include "util/utf8_path.h"

namespace crateline::archive {
namespace {

constexpr const char* kLeftOut = "Left out";
constexpr const char* kDamaged = "Damaged";
constexpr const char* kPassedOver = "Passed over";

void Hex(std::string& out, unsigned value, int digits) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += kHex[(value >> shift) & 15];
}

// Length of the valid UTF-8 sequence at text[i] and its code point, or 0.
std::size_t Decode(const std::string& text, std::size_t i, unsigned& code) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const unsigned lead = byte(0);
  std::size_t n = lead < 0x80                    ? 1
                  : lead >= 0xC2 && lead <= 0xDF ? 2
                  : lead >= 0xE0 && lead <= 0xEF ? 3
                  : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                 : 0;
  if (n == 0 || i + n > text.size()) return 0;
  code = n == 1 ? lead : lead & (0x7F >> n);
  for (std::size_t k = 1; k < n; ++k) {
    if ((byte(k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(k) & 0x3F);
  }
  const bool overlong = (n == 3 && code < 0x800) || (n == 4 && code < 0x10000);
  if (overlong || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
  return n;
}

// Characters a terminal acts on, or that turn the order of what follows around on screen.
bool Unsafe(unsigned code) {
  return code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0x200E || code == 0x200F ||
         (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
}

void Section(std::string& text, const char* title, const std::vector<ReportLine>& lines) {
  if (lines.empty()) return;
  text += std::string(title) + " (" + std::to_string(lines.size()) + "):\n";
  for (const auto& line : lines)
    text += "  " + SafeText(line.what) + "\n      " + SafeText(line.why) + "\n";
}

}  // namespace

std::string SafeText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    unsigned code = 0;
    const std::size_t n = Decode(text, i, code);
    if (n == 0) {
      out += "\\x";
      Hex(out, static_cast<unsigned char>(text[i]), 2);
      ++i;
    } else if (Unsafe(code)) {
      if (code < 0x80) {
        out += "\\x";
        Hex(out, code, 2);
      } else {
        out += "\\u{";
        Hex(out, code, 4);
        out += "}";
      }
      i += n;
    } else {
      out.append(text, i, n);
      i += n;
    }
  }
  return out;
}

std::string FormatReport(const ArchiveReport& report) {
  std::string text;
  Section(text, kLeftOut, report.leftOut);
  Section(text, kDamaged, report.damaged);
  Section(text, kPassedOver, report.passedOver);
  Section(text, "Not mail", report.notMail);
  Section(text, "Repaired", report.repaired);
  Section(text, "Warnings", report.warnings);
  for (const auto& note : report.notes) text += "Note: " + SafeText(note) + "\n";
  if (!report.volumes.empty()) {
    text += "Volumes (" + std::to_string(report.volumes.size()) + "), each imported on its own:\n";
    for (const auto& volume : report.volumes) {
      // A volume of mail counts messages; one with cards or calendars counts items, each
      // folder saying what its are.
      const bool mail = std::all_of(volume.folders.begin(), volume.folders.end(),
                                    [](const FolderCount& folder) { return *folder.unit == '\0'; });
      text += "  " + SafeText(volume.path) + "\n      " + std::to_string(volume.messages) +
              (mail ? " messages:" : " items:");
      for (std::size_t i = 0; i < volume.folders.size(); ++i) {
        const FolderCount& folder = volume.folders[i];
        text += (i == 0 ? " " : ", ") + SafeText(folder.folder) + " (" +
                std::to_string(folder.messages) + (*folder.unit == '\0' ? "" : " ") + folder.unit +
                ")";
      }
      text += "\n";
    }
  }
  return text;
}

std::string ReportSummary(const ArchiveReport& report) {
  std::vector<std::string> parts;
  const auto part = [&](std::size_t n, const char* what) {
    if (n > 0) parts.push_back(std::to_string(n) + " " + what);
  };
  part(report.leftOut.size(), "message(s) or folder(s) left out");
  part(report.damaged.size(), "message(s) changed while they were read");
  part(report.passedOver.size(), "deleted message(s) or chat(s) passed over");
  part(report.notMail.size(), "file(s) that hold no mail left out");
  part(report.repaired.size(), "folder or file name(s) repaired");
  part(report.warnings.size(), "warning(s)");
  std::string text;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
  }
  return text.empty() ? text : text + ".";
}

std::string ReportPathFor(const std::string& archivePath) {
  const std::string stem = archivePath.size() > 4 && archivePath.ends_with(".tgz")
                               ? archivePath.substr(0, archivePath.size() - 4)
                               : archivePath;
  return stem + ".report.txt";
}

std::string WriteReportBeside(const std::string& archivePath, const std::string& source,
                              const ArchiveReport& report) {
  std::string path = ReportPathFor(archivePath);
  const std::string text = "Crateline report for \"" + SafeText(archivePath) + "\" (source \"" +
                           SafeText(source) + "\")\n\n" + FormatReport(report);
  const auto out = platform::CreateAtomicOutput(path);
  out->Write(text.data(), text.size());
  out->Commit();
  return path;
}

std::vector<std::string> ReadReportedMessages(const std::string& archivePath) {
  std::vector<std::string> named;
  // A volume's report is its set's.
  std::ifstream file(util::PathFromUtf8(ReportPathFor(archivePath)), std::ios::binary);
  if (!file) file.open(util::PathFromUtf8(ReportPathFor(SetPathOf(archivePath))), std::ios::binary);
  std::string line;
  bool inSection = false;
  while (std::getline(file, line)) {
    if (!line.empty() && line[0] != ' ') {
      inSection = line.rfind(std::string(kLeftOut) + " (", 0) == 0 ||
                  line.rfind(std::string(kDamaged) + " (", 0) == 0 ||
                  line.rfind(std::string(kPassedOver) + " (", 0) == 0;
    } else if (inSection && line.size() > 2 && line.rfind("  ", 0) == 0 && line[2] != ' ') {
      named.push_back(line.substr(2));
    }
  }
  return named;
}

}  // namespace crateline::archive
