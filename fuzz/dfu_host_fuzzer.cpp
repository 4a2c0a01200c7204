// The host side of DFU against a device whose every answer comes from the input: the
// configuration and functional descriptors, a string descriptor, and then a whole update
// (bring to dfuIDLE, download, read back and compare, leave) with every status, state and
// read-back reply scripted.
//
// Input: one byte n and n bytes of configuration descriptor; then a script. Each transfer
// takes one control byte: 0xC0 and above fail it (stall, time-out, gone, other); otherwise
// bit 6 answers the whole length asked for, else the low 5 bits give a length; bit 5 makes
// a read-back block answer with the image's own bytes (so a verify can pass). The answer's
// bytes follow in the input. An input that runs out is a device that has gone.
//
// What must hold: a download reported good sent every block of the image in order and the
// closing zero-length block; a verify reported good was given back the image; a failure
// always comes with its reason; a string is never longer than its descriptor allows.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "lib/lmdfu/DFUEngine.h"

namespace {

using namespace dfu;

// The image the update carries: long enough for several blocks of a small transfer size.
const std::vector<uint8_t>& Image() {
  static const std::vector<uint8_t> Bytes = [] {
    std::vector<uint8_t> B(300);
    for (size_t i = 0; i < B.size(); ++i)
      B[i] = static_cast<uint8_t>(i * 13 + 5);
    return B;
  }();
  return Bytes;
}

class tScriptedDevice : public tUsbTransport {
 public:
  tScriptedDevice(const uint8_t* Data, size_t Size) : At(Data), End(Data + Size) {}

  int ControlIn(uint8_t, uint8_t aRequest, uint16_t aValue, uint16_t, uint8_t* aData,
                uint16_t aLength, unsigned) override {
    int Length = 0;
    if (const int Failed = Next(Length, aLength)) return Failed;
    const bool Echo = aRequest == rq_Upload && (Control & 0x20) != 0;
    for (int i = 0; i < Length; ++i) {
      if (Echo) {
        const size_t Offset = size_t{aValue} * BlockSize + static_cast<size_t>(i);
        aData[i] = Offset < Image().size() ? Image()[Offset] : 0;
      } else {
        if (At == End) return ur_NoDevice;
        aData[i] = *At++;
      }
    }
    if (aRequest == rq_Upload) Uploaded.insert(Uploaded.end(), aData, aData + Length);
    return Length;
  }

  int ControlOut(uint8_t, uint8_t aRequest, uint16_t aValue, uint16_t, const uint8_t* aData,
                 uint16_t aLength, unsigned) override {
    int Length = 0;
    if (const int Failed = Next(Length, aLength)) return Failed;
    // A device may take less than it was given (bit 6 clear and a smaller length).
    if (aRequest == rq_Dnload && Length == aLength) {
      if (aLength == 0) {
        ClosingBlockSent = aValue == Blocks;
      } else {
        if (aValue != Blocks || Downloaded + aLength > Image().size() ||
            !std::equal(aData, aData + aLength, Image().begin() + static_cast<long>(Downloaded)))
          __builtin_trap();  // a block out of order, or not the image's bytes
        Downloaded += aLength;
        ++Blocks;
      }
    }
    return Length;
  }

  int ClaimInterface(uint8_t, uint8_t) override { return Simple(); }
  int Reset() override { return Simple(); }

  uint16_t BlockSize = 64;
  size_t Downloaded = 0;
  uint16_t Blocks = 0;
  bool ClosingBlockSent = false;
  std::vector<uint8_t> Uploaded;

 private:
  // Takes the next control byte: a failure code, or 0 with the answer's length.
  int Next(int& Length, uint16_t aLength) {
    if (At == End) return ur_NoDevice;
    Control = *At++;
    if (Control >= 0xC0) return -1 - (Control & 7) % 5;  // ur_Stall .. ur_IO
    Length = (Control & 0x40) ? aLength : std::min<int>(Control & 0x1F, aLength);
    return 0;
  }
  int Simple() {
    int Length = 0;
    return Next(Length, 0);
  }

  const uint8_t* At;
  const uint8_t* End;
  uint8_t Control = 0;
};

void Check(tLMDFUErr Result, const tDFUEngine& Engine) {
  if (Result != lm_Ok && Engine.LastError().empty()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size == 0) return 0;
  const size_t ConfigLength = std::min<size_t>(Data[0], Size - 1);
  const std::vector<uint8_t> Config(Data + 1, Data + 1 + ConfigLength);  // exact size for ASan
  tUsbDevice Device;
  Device.MaxPacket0 = 16;
  Device.Interfaces = ParseConfiguration(Config.data(), Config.size());
  tUsbInterface Interface;
  tDFUFunctional Functional;
  if (!FindDFUInterface(Device, Interface, Functional)) {
    Functional.Attributes = AttrCanDnload | AttrCanUpload;
    Functional.TransferSize = 32;
  }
  // Large blocks only make the run slower; what a block holds is the same at any size.
  if (Functional.TransferSize > 512) Functional.TransferSize = 512;

  const size_t ScriptStart = 1 + ConfigLength;
  tScriptedDevice Card(Data + ScriptStart, Size - ScriptStart);
  std::string Text;
  if (ReadStringDescriptor(Card, 1, Text, 0) && Text.size() > 126) __builtin_trap();

  tDFULimits Limits;
  Limits.MaxPollMs = 0;  // the device's wishes are honoured without the waiting
  tDFUEngine Engine(Card, Interface.Number, Functional, Limits);
  Card.BlockSize = Engine.BlockSize();
  uint8_t State = 0;
  Check(Engine.GetState(State), Engine);
  tLMDFUErr Result = Engine.BringToIdle();
  Check(Result, Engine);
  if (Result != lm_Ok) return 0;
  Result = Engine.Download(Image(), nullptr);
  Check(Result, Engine);
  if (Result != lm_Ok) return 0;
  if (Card.Downloaded != Image().size() || !Card.ClosingBlockSent) __builtin_trap();
  Result = Engine.Verify(Image(), nullptr);
  Check(Result, Engine);
  if (Result == lm_Ok && (Card.Uploaded.size() < Image().size() ||
                          !std::equal(Image().begin(), Image().end(), Card.Uploaded.begin())))
    __builtin_trap();
  Check(Engine.Leave(), Engine);
  return 0;
}
