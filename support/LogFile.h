// The log file of link errors: one stamped line per error, whatever the display settings.
//
// LogToFile is called on the user-interface thread only. The file is "Log.txt" in the log
// folder: LogFolder when set, else $CADDIS_LOG_DIR, else the user's state folder
// (tPaths::StateFolder(), made when missing). Every line is opened, appended and closed on its
// own; an input/output error loses that line only, and the operator is told once
// (DisplayMessage) that the log cannot be written, not once per line.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// Folder of the log file; empty means the default folder (see above).
extern std::string LogFolder;
// Written before " Log" as the first line of a new log file.
extern std::string LogTitle;
// The number written into every line ("%.10d").
extern int32_t LogCounter;
// True (the default): LogToFile writes. False: lines go nowhere, for harnesses that feed the
// link millions of bad frames and have no use for a file of them.
extern bool LogFileActive;

// Captures the user's short-date and long-time formats; the start-up calls it once. Later
// changes of the user's locale do not reach the log. LogToFile captures them itself if the
// start-up did not.
void CaptureLogFormats();
// Replaces the captured formats (strftime formats); for tests and front ends that want fixed
// stamps.
void SetLogFormats(const std::string& ShortDate, const std::string& LongTime);

// The folder of the log file and its path.
std::string LogFileFolder();
std::string LogFilePath();

// The stamp of one line: the date, then one space and the time unless the time is exactly
// 00:00:00.
std::string LogStamp(const std::tm& Time);
// One whole line without its line end: stamp, the counter, the text.
std::string LogLine(const std::tm& Time, const std::string& Text);

// Appends one stamped line (Text up to 255 characters) to the log file.
void LogToFile(const std::string& Text);
