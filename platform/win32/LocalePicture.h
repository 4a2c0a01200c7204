// Windows keeps the user's date and time formats as pictures ("dd/MM/yyyy", "h:mm:ss tt");
// the log file formats with strftime patterns.
#pragma once

#include <string>

namespace tLocalePicture {

// The strftime pattern that prints what Picture prints: d dd M MM MMM MMMM yy yyyy, h hh H HH,
// m mm, s ss, t tt; text in single quotes as it stands; "%" doubled. Day names (ddd, dddd)
// become %a and %A. Fields without leading zero use the C runtime's "#" flag.
std::string ToStrftime(const std::string& Picture);

}  // namespace tLocalePicture
