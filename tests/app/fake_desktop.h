// A desktop for tests: records every message box and answers as the test scripted; the save
// dialog, folder choice, clock and opener are the test's too.
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/desktop.h"

namespace crateline::testing {

struct ProgramEnded {};  // thrown where the program would end; not a std::exception

class FakeDesktop : public app::Desktop {
 public:
  app::BoxAnswer ShowMessage(QWidget*, const app::MessageBox& box) override {
    boxes.push_back(box);
    if (!answers.empty()) {
      const app::BoxAnswer answer = answers.front();
      answers.pop_front();
      return answer;
    }
    return box.buttons == app::BoxButtons::kYesNo ? app::BoxAnswer::kNo : app::BoxAnswer::kOk;
  }
  std::optional<std::string> AskSaveFile(QWidget*, const app::SaveRequest& request) override {
    saveRequests.push_back(request);
    return savePath;
  }
  std::string ChooseFolder(QWidget*, const std::string& title) override {
    folderTitles.push_back(title);
    return folder;
  }
  void ShellOpen(const std::string& target) override { opened.push_back(target); }
  std::tm LocalNow() override { return now; }
  void SetWaitPointer(bool waiting) override { waitPointer = waiting; }
  void InitCommonControls() override { ++commonControls; }
  [[noreturn]] void EndProgram() override {
    ++ended;
    throw ProgramEnded{};
  }

  std::vector<app::MessageBox> boxes;
  std::deque<app::BoxAnswer> answers;
  std::optional<std::string> savePath;
  std::vector<app::SaveRequest> saveRequests;
  std::string folder;
  std::vector<std::string> folderTitles;
  std::vector<std::string> opened;
  std::tm now{};
  bool waitPointer = false;
  int commonControls = 0;
  int ended = 0;
};

}  // namespace crateline::testing
