#include "support/LogFile.h"

#include <cstdio>
#include <memory>

#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/LocaleFormats.h"
#include "platform/Paths.h"
#include "support/DisplayMessage.h"
#include "support/ShortString.h"

std::string LogFolder;
std::string LogTitle;
int32_t LogCounter = 0;
bool LogFileActive = true;

namespace {

// Lines end the way the log file always has: carriage return and line feed.
constexpr const char* LineEnd = "\r\n";
constexpr std::size_t MaxTitleLine = 35;

struct tCapturedFormats {
  bool Captured = false;
  tLocaleFormats::tDateTimeFormats Formats;
};

tCapturedFormats& Captured() {
  static tCapturedFormats Value;
  return Value;
}

const tLocaleFormats::tDateTimeFormats& Formats() {
  if (!Captured().Captured) CaptureLogFormats();
  return Captured().Formats;
}

struct tFileCloser {
  void operator()(std::FILE* File) const { std::fclose(File); }
};
using tFile = std::unique_ptr<std::FILE, tFileCloser>;

// The log file the operator was last told cannot be written: told once, not for every line.
std::string& ReportedPath() {
  static std::string Path;
  return Path;
}

void ReportUnwritable(const std::string& Path, const std::string& Why) {
  if (ReportedPath() == Path) return;
  ReportedPath() = Path;
  DisplayMessage("Cannot write the log file " + Path + ": " + Why +
                 "; link errors are not recorded");
}

// Appends Line to the log at Path, creating it with its title line when there is none yet. A
// new file is created only where none exists; an existing log that cannot be opened for
// appending (or is no ordinary file: a FIFO would hang the tool) is left as it is. False with
// the system's code in Error, or 0 and the reason in Why, when the line was lost.
bool AppendLine(const std::string& Path, const std::string& Line, int& Error, std::string& Why) {
  // Every write, the title's too, goes through a file opened for appending only: a writer at
  // its own position (the new file's start) would overwrite a line another program has
  // appended meanwhile.
  std::string Text = Line;
  if (tFile Created{tFiles::CreateNew(Path, Error)})
    Text = (LogTitle + " Log").substr(0, MaxTitleLine) + LineEnd + Line;
  const int CreateError = Error;
  if (tFiles::AppendBytes(Path, Text, Error, Why)) return true;
  // No log and no way to make one: the reason is the creation's.
  if (tFiles::IsNotFound(Error)) Error = CreateError;
  return false;
}

}  // namespace

void CaptureLogFormats() {
  Captured().Formats = tLocaleFormats::UserDateTimeFormats();
  Captured().Captured = true;
}

void SetLogFormats(const std::string& ShortDate, const std::string& LongTime) {
  Captured().Formats = {ShortDate, LongTime};
  Captured().Captured = true;
}

std::string LogFileFolder() {
  if (!LogFolder.empty()) return LogFolder;
  if (const auto Folder = tEnvironment::Get("CADDIS_LOG_DIR"); Folder && !Folder->empty())
    return *Folder;
  return tPaths::StateFolder();
}

std::string LogFilePath() {
  return LogFileFolder() + "/Log.txt";
}

std::string LogStamp(const std::tm& Time) {
  std::string Stamp = tLocaleFormats::FormatUserTime(Formats().ShortDate, Time);
  if (Time.tm_hour != 0 || Time.tm_min != 0 || Time.tm_sec != 0)
    Stamp += " " + tLocaleFormats::FormatUserTime(Formats().LongTime, Time);
  return Stamp;
}

std::string LogLine(const std::tm& Time, const std::string& Text) {
  char Counter[16];
  std::snprintf(Counter, sizeof Counter, "%.10d", LogCounter);
  return LogStamp(Time) + " " + Counter + " " + ShortString(Text);
}

void LogToFile(const std::string& Text) {
  if (!LogFileActive) return;
  const std::string Line = LogLine(tLocaleFormats::LocalNow(), Text) + LineEnd;
  const std::string Folder = LogFileFolder();
  const std::string Path = Folder + "/Log.txt";
  int Error = 0;
  std::string Refused;
  if (AppendLine(Path, Line, Error, Refused)) return;
  // The user's own state folder is made on first use; a folder named by the operator or a
  // caller must exist already.
  std::string FolderWhy;
  if (tFiles::IsNotFound(Error) && Folder == tPaths::StateFolder()) {
    tPaths::MakeFolders(Folder, FolderWhy);
    if (AppendLine(Path, Line, Error, Refused)) return;
  }
  std::string Why = "the line could not be written";
  if (tFiles::IsNotFound(Error) && !FolderWhy.empty())
    Why = FolderWhy;
  else if (Error != 0)
    Why = tFiles::SystemErrorText(Error);
  else if (!Refused.empty())
    Why = Refused;
  ReportUnwritable(Path, Why);
}
