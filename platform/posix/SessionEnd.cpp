// The session's end reaches a Linux program as SIGTERM, which the stop handling takes.
#include "platform/SessionEnd.h"

struct tSessionEndWatch::tImpl {};

tSessionEndWatch::tSessionEndWatch(std::function<void()>) {}
tSessionEndWatch::~tSessionEndWatch() = default;
void tSessionEndWatch::Hold(const std::string&) {}
bool tSessionEndWatch::Watching() const {
  return false;
}
