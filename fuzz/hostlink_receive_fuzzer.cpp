// Arbitrary bytes from the card's side through the host's receive path and dispatch.
//
// The input is cut into chunks (their sizes and the ticks after them taken from the input
// itself), each chunk is delivered to a fake port and followed by main-loop ticks, so
// partial frames, several frames per tick, bad counts and bad checksums all meet the
// handlers and the keep-alive. Most chunks get no tick or one; a whole keep-alive period
// (100 ticks, the point where "AYT" goes out and silence is counted) only when asked for, and
// no log file is written, so each input costs little.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "hostlink/OrvaneHost.h"
#include "support/DisplayMessage.h"
#include "support/LogFile.h"
#include "tests/hostlink/FakeComPort.h"

namespace {

struct tFuzzSetup {
  tFuzzSetup() {
    // Error lines go nowhere: the log file is tested elsewhere.
    LogFileActive = false;
    DisplayMessageProc = [](const std::string& Line) {
      if (Line.size() > 255) __builtin_trap();
    };
  }
  tFakePortFactory Factory;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, std::size_t Size) {
  static tFuzzSetup Setup;
  if (Size == 0) return 0;
  tOrvaneHost Host(1, true, "Caddis");
  Host.Logging = (Data[0] & 1) != 0;
  Host.AYTActive = (Data[0] & 2) != 0;
  tFakeComPort* Port = Setup.Factory.Last;
  std::size_t At = 1;
  constexpr int Ticks[4] = {0, 1, 2, tOrvaneHost::AYTPeriodTicks};
  while (At < Size) {
    const std::size_t Chunk = 1 + Data[At] % 64;
    const int nTicks = Ticks[Data[At] >> 6];
    ++At;
    const std::size_t Count = Chunk < Size - At ? Chunk : Size - At;
    Port->Incoming.insert(Port->Incoming.end(), Data + At, Data + At + Count);
    At += Count;
    Host.ServiceReceive();
    for (int Tick = 0; Tick < nTicks; ++Tick)
      Host.ServiceAYT();
    Port->Sent.clear();
  }
  // The state the handlers leave must be consistent whatever came.
  if (Host.FPGAVersion.size() != tOrvaneHost::FPGAVersionLength) __builtin_trap();
  if (Host.HostName != "Caddis") __builtin_trap();
  return 0;
}
