// Arbitrary bytes from the card's side through the host's receive path and dispatch.
//
// The input is cut into chunks (their sizes taken from the input itself), each chunk is
// delivered to a fake port and followed by one main-loop tick, so partial frames, several
// frames per tick, bad counts and bad checksums all meet the handlers and the keep-alive.
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
    // Error lines go nowhere: a folder that does not exist exercises the swallowed failure.
    LogFolder = "/nonexistent-caddis-fuzz-folder";
    SetLogFormats("%d/%m/%Y", "%H:%M:%S");
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
  while (At < Size) {
    const std::size_t Chunk = 1 + Data[At] % 64;
    ++At;
    const std::size_t Count = Chunk < Size - At ? Chunk : Size - At;
    Port->Incoming.insert(Port->Incoming.end(), Data + At, Data + At + Count);
    At += Count;
    Host.ServiceReceive();
    for (int Tick = 0; Tick < 40; ++Tick)
      Host.ServiceAYT();
    Port->Sent.clear();
  }
  // The state the handlers leave must be consistent whatever came.
  if (Host.FPGAVersion.size() != tOrvaneHost::FPGAVersionLength) __builtin_trap();
  if (Host.HostName != "Caddis") __builtin_trap();
  return 0;
}
