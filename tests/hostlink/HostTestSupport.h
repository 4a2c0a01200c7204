// Helpers shared by the host-link, log-file and simulator tests.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "TempFolder.h"
#include "support/DisplayMessage.h"
#include "support/LogFile.h"

// Collects every line shown through DisplayMessageProc and points the log file at a
// temporary folder, for as long as it lives.
class tCapturedOutput {
 public:
  tCapturedOutput() {
    SavedProc = DisplayMessageProc;
    SavedFolder = LogFolder;
    DisplayMessageProc = [this](const std::string& Line) { Lines.push_back(Line); };
    LogFolder = Folder.Path;
  }
  ~tCapturedOutput() {
    DisplayMessageProc = SavedProc;
    LogFolder = SavedFolder;
  }

  // The log file's lines with their "\r" removed; empty when there is no file.
  std::vector<std::string> LogLines() const {
    std::vector<std::string> Result;
    std::ifstream File(LogFilePath());
    for (std::string Line; std::getline(File, Line);) {
      if (!Line.empty() && Line.back() == '\r') Line.pop_back();
      Result.push_back(Line);
    }
    return Result;
  }
  bool LogFileExists() const { return std::filesystem::exists(LogFilePath()); }

  tTempFolder Folder;
  std::vector<std::string> Lines;

 private:
  tDisplayMessageProc SavedProc;
  std::string SavedFolder;
};

inline bool EndsWith(const std::string& Text, const std::string& Tail) {
  return Text.size() >= Tail.size() &&
         Text.compare(Text.size() - Tail.size(), Tail.size(), Tail) == 0;
}
