// The program-wide procedure that shows one line of text to the operator.
//
// Called only on the user-interface thread. The core's default writes the line to standard
// error, so the command line and the tests work without a window; the main window installs
// its own (append to the message list) and the start-up installs a message box before that.
#pragma once

#include <functional>
#include <string>

using tDisplayMessageProc = std::function<void(const std::string&)>;

extern tDisplayMessageProc DisplayMessageProc;

// Shows Text (cut to 255 characters) through DisplayMessageProc, if one is set.
void DisplayMessage(const std::string& Text);

// The core's default procedure: the line on standard error.
void DisplayMessageToStdErr(const std::string& Text);

// Installs Proc as DisplayMessageProc for as long as it lives, restoring the former one after
// (a status line that writes the messages above itself while it is shown).
class tDisplayScope {
 public:
  explicit tDisplayScope(tDisplayMessageProc Proc);
  ~tDisplayScope();
  tDisplayScope(const tDisplayScope&) = delete;
  tDisplayScope& operator=(const tDisplayScope&) = delete;

 private:
  tDisplayMessageProc fSaved;
};
