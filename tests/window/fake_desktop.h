// A desktop for tests: records every message box and answers as the test scripted; the save
// dialog, source choice, clock and opener are the test's too.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "window/desktop.h"

namespace crateline::testing {

struct ProgramEnded {};  // thrown where the program would end; not a std::exception

class FakeDesktop : public window::Desktop {
 public:
  window::BoxAnswer ShowMessage(window::OwnerHandle, const window::MessageBox& box) override {
    boxes.push_back(box);
    if (!answers.empty()) {
      const window::BoxAnswer answer = answers.front();
      answers.pop_front();
      return answer;
    }
    return box.buttons == window::BoxButtons::kYesNo ? window::BoxAnswer::kNo
                                                     : window::BoxAnswer::kOk;
  }
  std::optional<std::string> AskSaveFile(window::OwnerHandle,
                                         const window::SaveRequest& request) override {
    saveRequests.push_back(request);
    return savePath;
  }
  std::string ChooseFolder(window::OwnerHandle, const std::string& title) override {
    folderTitles.push_back(title);
    return folder;
  }
  void ShellOpen(const std::string& target) override { opened.push_back(target); }
  std::tm LocalNow() override { return now; }
  void InitCommonControls() override { ++commonControls; }
  [[noreturn]] void EndProgram() override {
    ++ended;
    throw ProgramEnded{};
  }

  std::vector<window::MessageBox> boxes;
  std::deque<window::BoxAnswer> answers;
  std::optional<std::string> savePath;
  std::vector<window::SaveRequest> saveRequests;
  std::string folder;
  std::vector<std::string> folderTitles;
  std::vector<std::string> opened;
  std::tm now{};
  int commonControls = 0;
  int ended = 0;
};

}  // namespace crateline::testing
