#include "support/DisplayMessage.h"

#include <cstdio>

#include "support/ShortString.h"

tDisplayMessageProc DisplayMessageProc = DisplayMessageToStdErr;

void DisplayMessage(const std::string& Text) {
  if (DisplayMessageProc) DisplayMessageProc(ShortString(Text));
}

void DisplayMessageToStdErr(const std::string& Text) {
  std::fprintf(stderr, "%s\n", Text.c_str());
  std::fflush(stderr);
}

tDisplayScope::tDisplayScope(tDisplayMessageProc Proc) : fSaved(DisplayMessageProc) {
  DisplayMessageProc = std::move(Proc);
}

tDisplayScope::~tDisplayScope() {
  DisplayMessageProc = fSaved;
}
