#include "support/LogFile.h"

#include <cstdio>
#include <memory>

#include "platform/Files.h"
#include "platform/LocaleFormats.h"
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

bool WriteText(std::FILE* File, const std::string& Text) {
  return std::fwrite(Text.data(), 1, Text.size(), File) == Text.size();
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

std::string LogFilePath() {
  return LogFolder + "/Log.txt";
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
  const std::string Path = LogFilePath();
  // A new file is created only where none exists; an existing log that cannot be
  // opened for appending is left as it is and this line is lost.
  int Error = 0;
  if (tFile Created{tFiles::CreateNew(Path, Error)}) {
    const std::string Title = (LogTitle + " Log").substr(0, MaxTitleLine) + LineEnd;
    if (WriteText(Created.get(), Title)) WriteText(Created.get(), Line);
    return;
  }
  if (tFile Existing{tFiles::Open(Path, "ab", Error)}) WriteText(Existing.get(), Line);
}
