// The file updater's handling of the card's replies, through a started transfer.
//
// The first input byte picks one of a few files; every further byte is one reply: either a
// well-formed acknowledgement built from the last packet sent (its type, code and number
// bent by the byte's bits, so the transfer can run to its end) or a short raw message of
// the following bytes. Whatever arrives, the packets sent must carry the file in order with
// the right checksum, and success is reported only after the finish packet was sent and
// the card acknowledged it.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "fileupdate/TivaUpdateUnit.h"
#include "hostlink/HostFrame.h"
#include "support/DisplayMessage.h"

namespace {

constexpr uint8_t Header = 39;  // the FPGA update's identifier
constexpr uint8_t StartPacket = 0, DataPacket = 1, FinishPacket = 2;

struct tFile {
  std::string Path;
  std::vector<uint8_t> Bytes;
};

// Files of a few telling sizes: one byte, exactly one packet, one byte more, several.
struct tFiles {
  tFiles() {
    const char* Folder = std::getenv("TMPDIR");
    const std::string Base = std::string(Folder && *Folder ? Folder : "/tmp") +
                             "/caddis-updater-fuzz-" + std::to_string(::getpid()) + "-";
    for (const size_t Size : {1, 128, 129, 700}) {
      tFile F{Base + std::to_string(Size), {}};
      for (size_t i = 0; i < Size; ++i)
        F.Bytes.push_back(static_cast<uint8_t>(i * 7 + Size));
      if (std::FILE* Out = std::fopen(F.Path.c_str(), "wb")) {
        std::fwrite(F.Bytes.data(), 1, F.Bytes.size(), Out);
        std::fclose(Out);
      }
      Files.push_back(F);
    }
    DisplayMessageProc = [](const std::string& Line) {
      if (Line.size() > 255) __builtin_trap();
    };
  }
  ~tFiles() {
    for (const tFile& F : Files)
      std::remove(F.Path.c_str());
  }
  std::vector<tFile> Files;
};

// What the updater has sent so far, checked packet by packet.
struct tTransfer {
  explicit tTransfer(const tFile& aFile) : File(aFile) {}

  void Sent(const tHostMessage& M) {
    const int Length = M[0];
    if (Length < 2 || M[1] != Header) __builtin_trap();
    if (FinishSent) __builtin_trap();  // nothing after the finish packet
    LastType = M[2];
    switch (M[2]) {
      case StartPacket: {
        if (Length != 4 || Started) __builtin_trap();
        Started = true;
        const size_t Count = (File.Bytes.size() + 127) / 128;
        if (M[3] * 256u + M[4] != Count) __builtin_trap();
        break;
      }
      case DataPacket: {
        if (!Started || Length < 5 || Length > 4 + 128) __builtin_trap();
        LastNumber = M[3] * 256 + M[4];
        if (LastNumber != DataPackets) __builtin_trap();  // numbered in order from 0
        ++DataPackets;
        for (int i = 5; i <= Length; ++i) {
          if (Carried >= File.Bytes.size() || M[i] != File.Bytes[Carried]) __builtin_trap();
          Checksum += M[i];
          ++Carried;
        }
        break;
      }
      case FinishPacket:
        if (Length != 4 || Carried != File.Bytes.size()) __builtin_trap();
        if (M[3] * 256u + M[4] != (Checksum & 0xFFFF)) __builtin_trap();
        FinishSent = true;
        break;
      default:
        __builtin_trap();
    }
  }

  const tFile& File;
  bool Started = false;
  bool FinishSent = false;
  uint8_t LastType = 0;
  int LastNumber = 0;
  int DataPackets = 0;
  size_t Carried = 0;
  uint32_t Checksum = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static tFiles Setup;
  if (Size == 0) return 0;
  const tFile& File = Setup.Files[Data[0] % Setup.Files.size()];
  tTransfer Transfer(File);
  bool Finished = false;
  bool FinishAcknowledged = false;
  std::unique_ptr<tTivaFileUpdater> Updater;
  try {
    Updater = std::make_unique<tTivaFileUpdater>([&](const tHostMessage& M) { Transfer.Sent(M); },
                                                 Header, File.Path);
  } catch (const std::exception&) {
    return 0;  // the file could not be made
  }
  Updater->OnUpdatePacket() = [&](float Progress, tTivaUpdateError Code) {
    if (Finished || Code != tu_Ack || !(Progress >= 0.0f && Progress <= 1.0f)) __builtin_trap();
  };
  Updater->OnUpdateFinished() = [&](float Progress, tTivaUpdateError Code) {
    if (Finished) __builtin_trap();  // reported once
    Finished = true;
    if (!(Progress >= 0.0f && Progress <= 1.0f)) __builtin_trap();
    // Success only for the card's acknowledgement of a finish packet that was sent.
    if (Code == tu_Ack && !(Transfer.FinishSent && FinishAcknowledged)) __builtin_trap();
  };

  size_t At = 1;
  while (At < Size && !Finished) {
    const uint8_t Op = Data[At++];
    tHostMessage Reply{};
    if (Op & 0x80) {
      // Raw: up to 7 bytes of the input as the message.
      const size_t Length = std::min<size_t>(Op & 7, Size - At);
      Reply[0] = static_cast<uint8_t>(Length);
      for (size_t i = 0; i < Length; ++i)
        Reply[1 + i] = Data[At++];
    } else {
      // An acknowledgement of the last packet, bent by the bits of Op.
      const uint8_t Type = (Op & 0x03) == 0 ? Transfer.LastType : static_cast<uint8_t>(Op & 3) - 1;
      const uint8_t Code = (Op & 0x0C) == 0x0C ? static_cast<uint8_t>((Op >> 4) & 7) : 0;
      const int Number = Transfer.LastNumber + ((Op & 0x30) == 0x30 ? 1 : 0);
      const uint8_t Ack[] = {Type, Code, static_cast<uint8_t>(Number >> 8),
                             static_cast<uint8_t>(Number)};
      Reply = tHostFrame::MakeMessage(Header, Ack, sizeof Ack);
    }
    FinishAcknowledged =
        Reply[0] >= 3 && Reply[1] == Header && Reply[2] == FinishPacket && Reply[3] == tu_Ack;
    Updater->ReceiveMessage(Reply);
  }
  return 0;
}
