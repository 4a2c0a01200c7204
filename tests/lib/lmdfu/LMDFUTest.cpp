// The library against the simulated card's boot loader, in-process over the virtual bus.
#include "lib/lmdfu/LMDFU.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <vector>

#include "DFUTestSupport.h"
#include "lib/lmdfu/DFUEventQueue.h"
#include "lib/lmdfu/DFUSuffix.h"
#include "sim/bootloader/VirtualDFUDevice.h"

namespace {

using namespace dfu;

class LMDFU : public testing::Test, public tCardBus {
 protected:
  void SetUp() override { ASSERT_EQ(LMDFUInit(), lm_Ok); }

  tLMDFUHandle Open(const std::string& aSerial = "SIM00001") {
    tLMDFUHandle H = nullptr;
    EXPECT_EQ(OpenBySerial(aSerial, Info, H), lm_Ok);
    return H;
  }

  // Runs a download and drains the notifications after it returned.
  tLMDFUErr Download(tLMDFUHandle aHandle, const std::vector<uint8_t>& aImage, bool aVerify) {
    const tLMDFUErr R = LMDFUDownload(aHandle, aImage.data(), static_cast<uint32_t>(aImage.size()),
                                      aVerify ? LMDFU_TRUE : LMDFU_FALSE, LMDFU_FALSE, &Queue);
    Events.clear();
    Queue.Drain([this](const tLMDFUEvent& e) { Events.push_back(e); });
    return R;
  }

  tLMDFUDeviceInfo Info{};
  tLMDFUEventQueue Queue;
  std::vector<tLMDFUEvent> Events;
};

// Checks one phase's notifications from aFrom: total, then strictly rising progress that ends
// at the total. Returns the index after the phase.
size_t ExpectPhase(const std::vector<tLMDFUEvent>& aEvents, size_t aFrom, uint32_t aPhase,
                   uint32_t aTotal, uint32_t aBlockSize) {
  EXPECT_LT(aFrom, aEvents.size());
  if (aFrom >= aEvents.size()) return aFrom;
  EXPECT_EQ(aEvents[aFrom], (tLMDFUEvent{aPhase, aTotal}));
  uint32_t Last = 0;
  size_t i = aFrom + 1;
  for (; i < aEvents.size() && aEvents[i].Message == WM_DFU_PROGRESS; ++i) {
    EXPECT_GT(aEvents[i].Param, Last);
    EXPECT_LE(aEvents[i].Param - Last, aBlockSize);
    Last = aEvents[i].Param;
  }
  EXPECT_EQ(Last, aTotal);
  EXPECT_EQ(i - aFrom - 1, (aTotal + aBlockSize - 1) / aBlockSize);
  return i;
}

TEST_F(LMDFU, OpenFillsTheRecordAndReadsTheStrings) {
  tVirtualDFUOptions O;
  O.TransferSize = 512;
  O.Release = 0x0203;
  StartDevice(O);
  tLMDFUHandle H = Open();
  ASSERT_NE(H, nullptr);
  EXPECT_EQ(Info.usVID, 0x1CBE);
  EXPECT_EQ(Info.usPID, 0x00FF);
  EXPECT_EQ(Info.usDevice, 0x0203);
  EXPECT_EQ(Info.usTransferSize, 512);
  EXPECT_EQ(Info.usDetachTimeOut, 1000);
  EXPECT_EQ(Info.ucDFUAttributes, AttrCanDnload | AttrCanUpload | AttrManifestationTolerant);
  EXPECT_EQ(Info.bDFUMode, 1u);
  EXPECT_EQ(Info.bSupportsTivaExtensions, 0u);
  char Text[256];
  uint16_t Len = 256;
  ASSERT_EQ(LMDFUDeviceASCIIStringGet(H, Info.ucProductString, Text, &Len), lm_Ok);
  EXPECT_STREQ(Text, "Caddis card DFU boot loader");
  EXPECT_EQ(Len, 27);
  Len = 256;
  ASSERT_EQ(LMDFUDeviceASCIIStringGet(H, Info.ucManufacturerString, Text, &Len), lm_Ok);
  EXPECT_STREQ(Text, "Caddis");
  Len = 4;  // a small buffer gets a cut, terminated text
  ASSERT_EQ(LMDFUDeviceASCIIStringGet(H, Info.ucDFUInterfaceString, Text, &Len), lm_Ok);
  EXPECT_STREQ(Text, "Tiv");
  Len = 256;  // an index the device does not have
  EXPECT_NE(LMDFUDeviceASCIIStringGet(H, 9, Text, &Len), lm_Ok);
  EXPECT_STREQ(Text, "");
  EXPECT_EQ(LMDFUDeviceClose(H, LMDFU_FALSE), lm_Ok);
  // The device stays in DFU mode after a plain close.
  EXPECT_EQ(RestartCount(), 0u);
  EXPECT_TRUE(Devices[0]->Running());
}

TEST_F(LMDFU, EnumerationListsEveryVirtualDeviceInNameOrderAndEndsWithAnError) {
  tVirtualDFUOptions A, B, Other;
  A.Serial = "A";
  A.Name = "b-card";
  B.Serial = "B";
  B.Name = "c-card";
  Other.Serial = "OTHER";
  Other.Name = "a-other";
  Other.VendorID = 0x0483;
  Other.ProductID = 0xDF11;
  StartDevice(A);
  StartDevice(B);
  StartDevice(Other);
  // A leftover socket file of a device that died, and a plain file, are skipped.
  const std::string Stale = Runtime.UsbFolder() + "/0-stale";
  const int Fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
  sockaddr_un Addr{};
  Addr.sun_family = AF_UNIX;
  std::strncpy(Addr.sun_path, Stale.c_str(), sizeof Addr.sun_path - 1);
  ASSERT_EQ(bind(Fd, reinterpret_cast<sockaddr*>(&Addr), sizeof Addr), 0);
  close(Fd);
  std::ofstream(Runtime.UsbFolder() + "/0-file") << "not a device";
  int IndexA = -1, IndexB = -1, IndexOther = -1;
  tLMDFUHandle H;
  ASSERT_EQ(OpenBySerial("A", Info, H, &IndexA), lm_Ok);
  LMDFUDeviceClose(H, LMDFU_FALSE);
  ASSERT_EQ(OpenBySerial("B", Info, H, &IndexB), lm_Ok);
  LMDFUDeviceClose(H, LMDFU_FALSE);
  ASSERT_EQ(OpenBySerial("OTHER", Info, H, &IndexOther), lm_Ok);
  EXPECT_EQ(Info.usVID, 0x0483);
  LMDFUDeviceClose(H, LMDFU_FALSE);
  EXPECT_EQ(IndexA, IndexOther + 1);
  EXPECT_EQ(IndexB, IndexA + 1);
  EXPECT_EQ(LMDFUDeviceOpen(IndexB + 1, &Info, &H), lm_NoDevice);
  EXPECT_EQ(LMDFUDeviceOpen(-1, &Info, &H), lm_NoDevice);
  EXPECT_EQ(LMDFUDeviceOpen(0, nullptr, &H), lm_BadArgument);
}

TEST_F(LMDFU, GoodDownloadIsVerifiedByteExactAndReportsEveryStep) {
  tVirtualDFUOptions O;
  O.TransferSize = 256;
  O.PollTimeoutMs = 3;  // a host that did not wait would be stalled into dfuERROR
  O.Firmware = MakeDemoFirmware(1, 3000);
  auto& Device = StartDevice(O);
  const auto Image = MakeDemoImage(7, 5000);  // 19 full blocks and a part block
  tLMDFUHandle H = Open();
  uint32_t Tiva = 99;
  ASSERT_EQ(LMDFUIsValidImage(H, Image.data(), static_cast<uint32_t>(Image.size()), &Tiva), lm_Ok);
  EXPECT_EQ(Tiva, 0u);
  ASSERT_EQ(Download(H, Image, true), lm_Ok) << LMDFULastErrorText(H);

  const auto Firmware = std::vector<uint8_t>(Image.begin(), Image.end() - 16);
  EXPECT_EQ(Device.ReceivedImage(), Firmware);
  EXPECT_EQ(Device.DownloadsCompleted(), 1);
  EXPECT_EQ(Device.State(), st_DfuIdle);
  size_t i = ExpectPhase(Events, 0, WM_DFU_DOWNLOAD, 5000, 256);
  i = ExpectPhase(Events, i, WM_DFU_VERIFY, 5000, 256);
  ASSERT_EQ(i + 1, Events.size());
  EXPECT_EQ(Events[i], (tLMDFUEvent{WM_DFU_COMPLETE, 0}));

  // Leaving DFU mode restarts the card with the new firmware.
  EXPECT_EQ(LMDFUDeviceClose(H, LMDFU_TRUE), lm_Ok);
  ASSERT_TRUE(WaitUntil([&] { return RestartCount() == 1; }));
  EXPECT_EQ(Restarts[0].Reason, rr_Reset);
  EXPECT_TRUE(Restarts[0].NewFirmware);
  EXPECT_EQ(Restarts[0].FirmwareVersion, 7);
  EXPECT_EQ(Restarts[0].Firmware, Firmware);
  EXPECT_TRUE(WaitUntil([&] { return !Device.Running(); }));
  EXPECT_FALSE(std::filesystem::exists(Device.SocketPath()));
}

TEST_F(LMDFU, DownloadWithoutVerifyEndsWithOneCompletion) {
  auto& Device = StartDevice();
  const auto Image = MakeDemoImage(3, 2048);  // exactly two blocks
  tLMDFUHandle H = Open();
  ASSERT_EQ(Download(H, Image, false), lm_Ok);
  const size_t i = ExpectPhase(Events, 0, WM_DFU_DOWNLOAD, 2048, 1024);
  ASSERT_EQ(i + 1, Events.size());
  EXPECT_EQ(Events[i].Message, WM_DFU_COMPLETE);
  EXPECT_EQ(Device.ReceivedImage().size(), 2048u);
  LMDFUDeviceClose(H, LMDFU_FALSE);
}

struct tFaultCase {
  const char* Name;
  tVirtualDFUFaults Faults;
  tLMDFUErr Expected;
  std::optional<uint8_t> State;  // where the device is left (none: it has gone)
  uint8_t Status;
  size_t ProgressBeforeError;  // download progress notifications before the error
};

class LMDFUFault : public LMDFU, public testing::WithParamInterface<tFaultCase> {};

TEST_P(LMDFUFault, EndsWithItsStatusAnErrorNotificationAndTheDeviceWhereDFUPutsIt) {
  const auto& C = GetParam();
  tVirtualDFUOptions O;
  O.TransferSize = 128;
  O.Faults = C.Faults;
  auto& Device = StartDevice(O);
  const auto Image = MakeDemoImage(5, 1000);  // 8 blocks
  tLMDFUHandle H = Open();
  ASSERT_EQ(Download(H, Image, true), C.Expected) << LMDFULastErrorText(H);
  EXPECT_FALSE(LMDFULastErrorText(H).empty());
  ASSERT_FALSE(Events.empty());
  EXPECT_EQ(Events.back(), (tLMDFUEvent{WM_DFU_ERROR, 0}));
  EXPECT_EQ(std::count(Events.begin(), Events.end(), tLMDFUEvent{WM_DFU_COMPLETE, 0}), 0);
  EXPECT_EQ(Events.front(), (tLMDFUEvent{WM_DFU_DOWNLOAD, 1000}));
  if (C.ProgressBeforeError < 8) {
    EXPECT_EQ(
        static_cast<size_t>(std::count_if(Events.begin(), Events.end(),
                                          [](auto& e) { return e.Message == WM_DFU_PROGRESS; })),
        C.ProgressBeforeError);
  }
  if (C.State) {
    EXPECT_TRUE(Device.Running());
    EXPECT_EQ(Device.State(), *C.State);
    EXPECT_EQ(Device.Status(), C.Status);
    // A second attempt on a fresh handle recovers the device and succeeds.
    LMDFUDeviceClose(H, LMDFU_FALSE);
    Device.SetFaults({});
    H = Open();
    ASSERT_EQ(Download(H, Image, true), lm_Ok) << LMDFULastErrorText(H);
    EXPECT_EQ(Device.ReceivedImage().size(), 1000u);
  } else {
    EXPECT_TRUE(WaitUntil([&] { return !Device.Running(); }));
    ASSERT_TRUE(WaitUntil([&] { return RestartCount() == 1; }));
    EXPECT_EQ(Restarts[0].Reason, rr_Disconnected);
    EXPECT_FALSE(Restarts[0].FirmwareValid);
  }
  LMDFUDeviceClose(H, LMDFU_FALSE);
}

tVirtualDFUFaults StatusAt2() {
  tVirtualDFUFaults F;
  F.StatusErrorAtBlock = 2;
  F.StatusErrorCode = ds_errPROG;
  return F;
}
tVirtualDFUFaults StallAt3() {
  tVirtualDFUFaults F;
  F.StallAtBlock = 3;
  return F;
}
tVirtualDFUFaults DisconnectAt4() {
  tVirtualDFUFaults F;
  F.DisconnectAtBlock = 4;
  return F;
}
tVirtualDFUFaults WrongReadBack() {
  tVirtualDFUFaults F;
  F.WrongReadBackAt = 777;
  return F;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, LMDFUFault,
    testing::Values(
        tFaultCase{"StatusError", StatusAt2(), lm_DeviceStatus, st_DfuError, ds_errPROG, 2},
        tFaultCase{"Stall", StallAt3(), lm_Stall, st_DfuError, ds_errSTALLEDPKT, 3},
        tFaultCase{"Disconnect", DisconnectAt4(), lm_DeviceGone, std::nullopt, 0, 4},
        tFaultCase{"WrongReadBack", WrongReadBack(), lm_VerifyMismatch, st_DfuIdle, ds_OK, 99}),
    [](const auto& aInfo) { return std::string(aInfo.param.Name); });

TEST_F(LMDFU, ResetAfterAFailedDownloadKeepsTheBootLoaderWithErrFirmware) {
  tVirtualDFUOptions O;
  O.Faults.StallAtBlock = 1;
  auto& Device = StartDevice(O);
  tLMDFUHandle H = Open();
  ASSERT_EQ(Download(H, MakeDemoImage(5, 3000), false), lm_Stall);
  // The firmware was half written: the device cannot run it and stays in DFU mode, which the
  // close reports rather than a departure.
  EXPECT_EQ(LMDFUDeviceClose(H, LMDFU_TRUE), lm_DeviceState);
  EXPECT_TRUE(WaitUntil([&] { return Device.Status() == ds_errFIRMWARE; }));
  EXPECT_TRUE(Device.Running());
  EXPECT_EQ(Device.State(), st_DfuError);
  EXPECT_EQ(RestartCount(), 0u);
}

TEST_F(LMDFU, CancelWithoutDownloadRestartsTheOldFirmware) {
  tVirtualDFUOptions O;
  O.Firmware = MakeDemoFirmware(1, 100);
  StartDevice(O);
  tLMDFUHandle H = Open();
  EXPECT_EQ(LMDFUDeviceClose(H, LMDFU_TRUE), lm_Ok);
  ASSERT_TRUE(WaitUntil([&] { return RestartCount() == 1; }));
  EXPECT_FALSE(Restarts[0].NewFirmware);
  EXPECT_EQ(Restarts[0].FirmwareVersion, 1);
}

TEST_F(LMDFU, ADeviceThatWillDetachIsDetachedInsteadOfReset) {
  tVirtualDFUOptions O;
  O.Attributes |= AttrWillDetach;
  StartDevice(O);
  tLMDFUHandle H = Open();
  ASSERT_EQ(Download(H, MakeDemoImage(9, 700), true), lm_Ok);
  EXPECT_EQ(LMDFUDeviceClose(H, LMDFU_TRUE), lm_Ok);
  ASSERT_TRUE(WaitUntil([&] { return RestartCount() == 1; }));
  EXPECT_EQ(Restarts[0].Reason, rr_Detach);
  EXPECT_EQ(Restarts[0].FirmwareVersion, 9);
}

TEST_F(LMDFU, ANonTolerantDeviceIsNotReportedAsVerifiedAndWaitsForTheReset) {
  tVirtualDFUOptions O;
  O.Attributes = AttrCanDnload | AttrCanUpload;  // not manifestation tolerant
  O.Firmware = MakeDemoFirmware(1, 64);
  auto& Device = StartDevice(O);
  tLMDFUHandle H = Open();
  const auto Image = MakeDemoImage(4, 1500);
  // Verification would be impossible after manifestation: refused before anything is written.
  ASSERT_EQ(Download(H, Image, true), lm_NotSupported);
  EXPECT_EQ(Events.back().Message, WM_DFU_ERROR);
  EXPECT_EQ(Device.DownloadsCompleted(), 0);
  EXPECT_EQ(Device.State(), st_DfuIdle);
  // Without verification it downloads and then waits for the reset that Close gives it.
  ASSERT_EQ(Download(H, Image, false), lm_Ok) << LMDFULastErrorText(H);
  EXPECT_EQ(Device.State(), st_ManifestWaitReset);
  EXPECT_EQ(LMDFUDeviceClose(H, LMDFU_TRUE), lm_Ok);
  ASSERT_TRUE(WaitUntil([&] { return RestartCount() == 1; }));
  EXPECT_EQ(Restarts[0].FirmwareVersion, 4);
}

TEST_F(LMDFU, ImageChecksUseTheDeviceIDsAndRefuseBadImagesBeforeTouchingTheDevice) {
  auto& Device = StartDevice();
  tLMDFUHandle H = Open();
  auto Check = [&](const std::vector<uint8_t>& aImage) {
    return LMDFUIsValidImage(H, aImage.data(), static_cast<uint32_t>(aImage.size()), nullptr);
  };
  auto Wrong = MakeDemoFirmware(1, 100);
  AppendSuffix(Wrong, 0x1CBE, 0x0001);
  EXPECT_EQ(Check(Wrong), lm_WrongProduct);
  auto Any = MakeDemoFirmware(1, 100);
  AppendSuffix(Any, 0xFFFF, 0xFFFF);
  EXPECT_EQ(Check(Any), lm_Ok);
  auto Damaged = MakeDemoImage(1, 100);
  Damaged[50] ^= 4;
  EXPECT_EQ(Check(Damaged), lm_SuffixCRC);
  EXPECT_EQ(Check(MakeDemoFirmware(1, 100)), lm_NoSuffix);
  EXPECT_EQ(LMDFUIsValidImage(H, nullptr, 0, nullptr), lm_ImageTooShort);
  EXPECT_EQ(LMDFUIsValidImage(H, nullptr, 10, nullptr), lm_BadArgument);

  ASSERT_EQ(Download(H, Damaged, true), lm_SuffixCRC);
  EXPECT_EQ(Events, (std::vector<tLMDFUEvent>{{WM_DFU_ERROR, 0}}));
  ASSERT_EQ(Download(H, Wrong, true), lm_WrongProduct);
  // The second boolean skips the ID match.
  EXPECT_EQ(LMDFUDownload(H, Wrong.data(), static_cast<uint32_t>(Wrong.size()), LMDFU_TRUE,
                          LMDFU_TRUE, nullptr),
            lm_Ok);
  EXPECT_EQ(Device.DownloadsCompleted(), 1);
  LMDFUDeviceClose(H, LMDFU_FALSE);
}

TEST_F(LMDFU, UnknownHandlesAreRefusedNotFollowed) {
  int NotAHandle = 0;
  auto* Bogus = reinterpret_cast<tLMDFUHandle>(&NotAHandle);
  char Text[16];
  uint16_t Len = sizeof Text;
  EXPECT_EQ(LMDFUDeviceClose(nullptr, LMDFU_TRUE), lm_BadArgument);
  EXPECT_EQ(LMDFUDeviceClose(Bogus, LMDFU_TRUE), lm_BadArgument);
  EXPECT_EQ(LMDFUDeviceASCIIStringGet(Bogus, 1, Text, &Len), lm_BadArgument);
  EXPECT_EQ(LMDFUIsValidImage(Bogus, nullptr, 0, nullptr), lm_BadArgument);
  const uint8_t Byte = 0;
  EXPECT_EQ(LMDFUDownload(Bogus, &Byte, 1, LMDFU_TRUE, LMDFU_FALSE, &Queue), lm_BadArgument);
  tLMDFUEvent E;
  ASSERT_TRUE(Queue.Take(E));
  EXPECT_EQ(E.Message, WM_DFU_ERROR);
  // A closed handle is unknown from then on.
  StartDevice();
  tLMDFUHandle H = Open();
  ASSERT_EQ(LMDFUDeviceClose(H, LMDFU_FALSE), lm_Ok);
  EXPECT_EQ(LMDFUDeviceClose(H, LMDFU_FALSE), lm_BadArgument);
}

// A queue that notes when the library has said its call is over.
class tWatchedQueue : public tLMDFUEventQueue {
 public:
  void DFUCallEnded() override {
    Ended = true;
    tLMDFUEventQueue::DFUCallEnded();
  }
  std::atomic<bool> Ended{false};
};

TEST_F(LMDFU, LiveProgressWhileTheCallRunsButTheEndOnlyAfterTheCallIsOver) {
  tVirtualDFUOptions O;
  O.TransferSize = 64;
  O.PollTimeoutMs = 1;
  StartDevice(O);
  tLMDFUHandle H = Open();
  const auto Image = MakeDemoImage(2, 64 * 40);
  tWatchedQueue Watched;
  tLMDFUErr Result = lm_Transfer;
  std::thread Worker([&] {
    Result = LMDFUDownload(H, Image.data(), static_cast<uint32_t>(Image.size()), LMDFU_TRUE,
                           LMDFU_FALSE, &Watched);
  });
  std::vector<tLMDFUEvent> Seen;
  bool EndTooEarly = false;
  while (Seen.empty() ||
         (Seen.back().Message != WM_DFU_COMPLETE && Seen.back().Message != WM_DFU_ERROR)) {
    if (!Watched.WaitFor(std::chrono::seconds(20))) break;
    Watched.Drain([&](const tLMDFUEvent& e) {
      const bool Final = e.Message == WM_DFU_COMPLETE || e.Message == WM_DFU_ERROR;
      if (Final && !Watched.Ended) EndTooEarly = true;
      Seen.push_back(e);
    });
  }
  Worker.join();
  EXPECT_EQ(Result, lm_Ok);
  EXPECT_FALSE(EndTooEarly);
  ASSERT_FALSE(Seen.empty());
  EXPECT_EQ(Seen.back().Message, WM_DFU_COMPLETE);
  LMDFUDeviceClose(H, LMDFU_FALSE);
}

}  // namespace

namespace {

// Reads the device's image back with a buffer of aBufferSize; the notifications go to Events.
class LMDFUUploadTest : public LMDFU {
 protected:
  tLMDFUErr Upload(tLMDFUHandle aHandle, uint32_t aBufferSize, std::vector<uint8_t>& aImage) {
    aImage.assign(aBufferSize, 0);
    uint32_t Read = 12345;
    const tLMDFUErr R = LMDFUUpload(aHandle, aImage.data(), aBufferSize, &Read, &Queue);
    aImage.resize(R == lm_Ok ? Read : 0);
    EXPECT_TRUE(R == lm_Ok || Read == 0);
    Events.clear();
    Queue.Drain([this](const tLMDFUEvent& e) { Events.push_back(e); });
    return R;
  }
};

TEST_F(LMDFUUploadTest, GivesBackTheDevicesImageWhereverItEndsAgainstTheBlocks) {
  // Within a block, one short of a block, exactly one and three blocks (an empty block then
  // ends the upload), several blocks and a part.
  for (const size_t Size : {1u, 1023u, 1024u, 3072u, 5000u}) {
    SCOPED_TRACE(Size);
    tVirtualDFUOptions O;
    O.Serial = "UP" + std::to_string(Size);
    O.Firmware = MakeDemoFirmware(9, Size);
    O.Firmware.resize(Size);
    auto& Device = StartDevice(O);
    tLMDFUHandle H = Open(O.Serial);
    std::vector<uint8_t> Image;
    ASSERT_EQ(Upload(H, 64 * 1024, Image), lm_Ok) << LMDFULastErrorText(H);
    EXPECT_EQ(Image, O.Firmware);
    EXPECT_EQ(Device.State(), st_DfuIdle);
    ASSERT_GE(Events.size(), 3u);
    EXPECT_EQ(Events.front(), (tLMDFUEvent{WM_DFU_UPLOAD, 64 * 1024}));
    EXPECT_EQ(Events.back(), (tLMDFUEvent{WM_DFU_COMPLETE, 0}));
    EXPECT_EQ(Events.size() - 2, (Size + 1023) / 1024) << "one progress step per block read";
    EXPECT_EQ(Events[Events.size() - 2],
              (tLMDFUEvent{WM_DFU_PROGRESS, static_cast<uint32_t>(Size)}));
    LMDFUDeviceClose(H, LMDFU_FALSE);
  }
}

TEST_F(LMDFUUploadTest, AnImageLargerThanTheBufferIsRefusedAndTheDeviceLeftIdle) {
  tVirtualDFUOptions O;
  O.Firmware = MakeDemoFirmware(9, 5000);
  auto& Device = StartDevice(O);
  tLMDFUHandle H = Open();
  std::vector<uint8_t> Image;
  EXPECT_EQ(Upload(H, 2048, Image), lm_UploadTooLarge);
  EXPECT_EQ(LMDFULastErrorText(H), "the device gives more than 2048 bytes");
  EXPECT_EQ(Events.back().Message, WM_DFU_ERROR);
  // The upload was aborted, not left half-way: the next one starts from the beginning.
  EXPECT_EQ(Device.State(), st_DfuIdle);
  ASSERT_EQ(Upload(H, 5000, Image), lm_Ok);
  EXPECT_EQ(Image, O.Firmware);
  LMDFUDeviceClose(H, LMDFU_FALSE);
}

TEST_F(LMDFUUploadTest, ReadsWhatTheLastDownloadWrote) {
  auto& Device = StartDevice();
  tLMDFUHandle H = Open();
  const auto Image = MakeDemoImage(4, 3000);
  ASSERT_EQ(LMDFUDownload(H, Image.data(), static_cast<uint32_t>(Image.size()), LMDFU_FALSE,
                          LMDFU_FALSE, nullptr),
            lm_Ok);
  std::vector<uint8_t> Read;
  ASSERT_EQ(Upload(H, 64 * 1024, Read), lm_Ok);
  EXPECT_EQ(Read, Device.ReceivedImage());
  EXPECT_EQ(Read.size(), 3000u);
  LMDFUDeviceClose(H, LMDFU_FALSE);
}

TEST_F(LMDFUUploadTest, RefusalsSayWhy) {
  tVirtualDFUOptions O;
  O.Attributes = AttrCanDnload | AttrManifestationTolerant;
  StartDevice(O);
  tLMDFUHandle H = Open();
  std::vector<uint8_t> Image;
  EXPECT_EQ(Upload(H, 1024, Image), lm_NotSupported);
  EXPECT_EQ(LMDFULastErrorText(H), "device cannot be read (no upload)");
  EXPECT_EQ(Events, (std::vector<tLMDFUEvent>{{WM_DFU_ERROR, 0}}));
  uint8_t Buffer[16];
  EXPECT_EQ(LMDFUUpload(H, Buffer, sizeof Buffer, nullptr, nullptr), lm_BadArgument);
  uint32_t Read = 7;
  EXPECT_EQ(LMDFUUpload(nullptr, Buffer, sizeof Buffer, &Read, nullptr), lm_BadArgument);
  EXPECT_EQ(Read, 0u);
  LMDFUDeviceClose(H, LMDFU_FALSE);
}

}  // namespace
