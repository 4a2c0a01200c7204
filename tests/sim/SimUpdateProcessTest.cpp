// The caddis-card-sim program updated by the tool's host object over a real pseudo-terminal,
// driven by a 10 ms main loop as the window drives it: an FPGA image, an injected flash
// error, and a firmware update through its DFU boot loader on the virtual USB bus.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <thread>

#include "lib/lmdfu/DFUTestSupport.h"
#include "lib/lmdfu/LMDFU.h"
#include "hostlink/OrvaneHost.h"
#include "platform/UIThread.h"
#include "sim/SimProcess.h"
#include "sim/bootloader/DemoImage.h"

namespace {

using tBytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

class SimUpdateProcessTest : public ::testing::Test {
 protected:
  void SetUp() override { SetLogFormats("%d/%m/%Y", "%H:%M:%S"); }
  void TearDown() override {
    Host.reset();
    if (Sim) {
      EXPECT_EQ(Sim->Stop(), 0) << Sim->Output();
    }
  }

  void StartSim(int Com, const std::vector<std::string>& Extra = {}) {
    std::vector<std::string> Args{"--com", std::to_string(Com), "--firmware", "3"};
    Args.insert(Args.end(), Extra.begin(), Extra.end());
    Sim = std::make_unique<tSimProcess>(Runtime, Args);
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(Runtime.PortLink(Com)); }))
        << Sim->Output();
  }
  void OpenHost(int Com) {
    Host = std::make_unique<tOrvaneHost>(Com, true, "Caddis");
    ASSERT_NE(Host->ComPort, nullptr);
  }
  // One main-loop tick: receive, keep-alive, hand-offs, then the rest of the 10 ms.
  void Tick() {
    Host->ServiceReceive();
    Host->ServiceAYT();
    tUIThread::ServePending();
    std::this_thread::sleep_for(10ms);
  }
  template <typename Pred>
  bool TickUntil(Pred Done, int Limit) {
    for (int i = 0; i < Limit; ++i) {
      Tick();
      if (Done()) return true;
    }
    return false;
  }
  tBytes WriteFPGAImage(std::size_t Size) {
    tBytes Data(Size);
    std::mt19937 Random(7);
    for (auto& B : Data)
      B = static_cast<uint8_t>(Random());
    std::ofstream(Images.Path + "/SkerryFPGA.bit", std::ios::binary)
        .write(reinterpret_cast<const char*>(Data.data()), static_cast<std::streamsize>(Size));
    return Data;
  }
  // Starts the FPGA update and ticks until its end; false when it did not end.
  bool UpdateFPGA(int LimitTicks) {
    Host->UpdateHostFPGA(
        nullptr,
        [this](float P, tTivaUpdateError Code) {
          Finished = true;
          FinalProgress = P;
          FinalCode = Code;
        },
        Images.Path + "/SkerryFPGA.bit");
    return TickUntil([&] { return Finished; }, LimitTicks);
  }
  bool Shown(const std::string& Text) const {
    return std::find(Output.Lines.begin(), Output.Lines.end(), Text) != Output.Lines.end();
  }

  tCapturedOutput Output;
  tTestRuntime Runtime;
  tTempFolder Images;
  std::unique_ptr<tSimProcess> Sim;
  std::unique_ptr<tOrvaneHost> Host;
  bool Finished = false;
  float FinalProgress = -1;
  tTivaUpdateError FinalCode = tu_SequenceError;
};

TEST_F(SimUpdateProcessTest, FPGAImageArrivesByteExact) {
  const std::string Saved = Runtime.Folder.Path + "/fpga-received.bit";
  StartSim(21, {"--fpga-out", Saved});
  OpenHost(21);
  const tBytes Image = WriteFPGAImage(70000);  // 547 packets, the last of 112 bytes
  ASSERT_TRUE(UpdateFPGA(6000)) << Sim->Output();
  EXPECT_EQ(FinalCode, tu_Ack);
  EXPECT_FLOAT_EQ(FinalProgress, 1.0f);
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(Saved); }, 5s)) << Sim->Output();
  EXPECT_EQ(FileBytes(Saved), Image);
  EXPECT_NE(Sim->Output().find("FPGA image received: 70000 bytes"), std::string::npos);
}

TEST_F(SimUpdateProcessTest, InjectedFlashErrorAbortsWithTheCardsCode) {
  const std::string Saved = Runtime.Folder.Path + "/never.bit";
  StartSim(22, {"--image-out", Saved, "--ack-code", "4@10", "--packet-delay", "2"});
  OpenHost(22);
  WriteFPGAImage(64 * 1024);
  ASSERT_TRUE(UpdateFPGA(2000)) << Sim->Output();
  EXPECT_EQ(FinalCode, tu_FlashError);
  EXPECT_FLOAT_EQ(FinalProgress, 11.0f / 512.0f);
  EXPECT_TRUE(Shown("Tiva file updater Flash error on packet 11\r\nUpdate aborted"));
  EXPECT_FALSE(Host->Updating());
  EXPECT_FALSE(std::filesystem::exists(Saved));
}

// At 115200 baud each data packet's frame (134 bytes) takes 11.6 ms on the wire, so the
// transfer cannot be quicker than that per packet, and it still arrives whole.
TEST_F(SimUpdateProcessTest, EmulatedWireSlowsTheTransferToAtLeastItsWireTime) {
  const std::string Saved = Runtime.Folder.Path + "/wire.bit";
  StartSim(24, {"--fpga-out", Saved, "--wire-baud", "115200"});
  OpenHost(24);
  const tBytes Image = WriteFPGAImage(128 * 60);
  const auto Start = std::chrono::steady_clock::now();
  ASSERT_TRUE(UpdateFPGA(3000)) << Sim->Output();
  const auto Took = std::chrono::steady_clock::now() - Start;
  EXPECT_EQ(FinalCode, tu_Ack);
  const auto WireTime = std::chrono::microseconds(60 * (134 + 7) * 10 * 1'000'000LL / 115200);
  EXPECT_GE(Took, WireTime);
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(Saved); }, 5s)) << Sim->Output();
  EXPECT_EQ(FileBytes(Saved), Image);
}

// Opens the card's boot loader through the DFU library once it is on the bus.
tLMDFUHandle OpenBootLoader(const std::string& Serial) {
  tLMDFUHandle Handle = nullptr;
  tLMDFUDeviceInfo Info{};
  WaitFor([&] { return OpenBySerial(Serial, Info, Handle) == lm_Ok; }, 10s);
  if (Handle) {
    EXPECT_EQ(Info.usVID, 0x1CBE);
    EXPECT_EQ(Info.usPID, 0x00FF);
    EXPECT_NE(Info.bDFUMode, 0u);
  }
  return Handle;
}

TEST_F(SimUpdateProcessTest, BootIntoDFUUpdateAndComeBackWithTheNewFirmware) {
  StartSim(23);
  OpenHost(23);
  ASSERT_TRUE(TickUntil([&] { return Host->DeviceID != 0; }, 300)) << Sim->Output();
  EXPECT_EQ(Host->FirmwareVersion, 3);
  ASSERT_EQ(LMDFUInit(), lm_Ok);

  // "Boot": the port entry goes and the boot loader appears on the virtual bus.
  Host->SendHeader(tHostId::Boot);
  Tick();
  ASSERT_TRUE(WaitFor([&] { return !std::filesystem::is_symlink(Runtime.PortLink(23)); }, 5s));
  Host.reset();
  tLMDFUHandle Handle = OpenBootLoader("SIM00023");
  ASSERT_NE(Handle, nullptr) << Sim->Output();
  const tBytes Image = dfu::MakeDemoImage(9, 20000);
  ASSERT_EQ(LMDFUDownload(Handle, Image.data(), static_cast<uint32_t>(Image.size()), LMDFU_TRUE,
                          LMDFU_FALSE, nullptr),
            lm_Ok)
      << LMDFULastErrorText(Handle);
  EXPECT_EQ(LMDFUDeviceClose(Handle, LMDFU_TRUE), lm_Ok);

  // The card restarts on its port with the firmware it was given.
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(Runtime.PortLink(23)); }, 10s))
      << Sim->Output();
  OpenHost(23);
  ASSERT_TRUE(TickUntil([&] { return Host->DeviceID != 0; }, 300)) << Sim->Output();
  EXPECT_EQ(Host->FirmwareVersion, 9);

  // Into DFU mode again and out without a download: the firmware stays.
  Host->SendHeader(tHostId::Boot);
  Tick();
  ASSERT_TRUE(WaitFor([&] { return !std::filesystem::is_symlink(Runtime.PortLink(23)); }, 5s));
  Host.reset();
  Handle = OpenBootLoader("SIM00023");
  ASSERT_NE(Handle, nullptr) << Sim->Output();
  EXPECT_EQ(LMDFUDeviceClose(Handle, LMDFU_TRUE), lm_Ok);
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(Runtime.PortLink(23)); }, 10s))
      << Sim->Output();
  OpenHost(23);
  ASSERT_TRUE(TickUntil([&] { return Host->DeviceID != 0; }, 300)) << Sim->Output();
  EXPECT_EQ(Host->FirmwareVersion, 9);
}

// A boot loader that drops off the bus in the middle of a download comes back in DFU mode
// (its firmware is no longer whole, so leaving DFU mode is refused); a second download then
// brings the card back with the new firmware.
TEST_F(SimUpdateProcessTest, BootLoaderDisconnectedMidDownloadComesBackInDFUMode) {
  StartSim(25, {"--dfu-fault", "disconnect@3"});
  OpenHost(25);
  ASSERT_TRUE(TickUntil([&] { return Host->DeviceID != 0; }, 300)) << Sim->Output();
  ASSERT_EQ(LMDFUInit(), lm_Ok);
  Host->SendHeader(tHostId::Boot);
  Tick();
  ASSERT_TRUE(WaitFor([&] { return !std::filesystem::is_symlink(Runtime.PortLink(25)); }, 5s));
  Host.reset();

  const tBytes Image = dfu::MakeDemoImage(7, 8000);
  tLMDFUHandle Handle = OpenBootLoader("SIM00025");
  ASSERT_NE(Handle, nullptr) << Sim->Output();
  EXPECT_NE(LMDFUDownload(Handle, Image.data(), static_cast<uint32_t>(Image.size()), LMDFU_TRUE,
                          LMDFU_FALSE, nullptr),
            lm_Ok);
  LMDFUDeviceClose(Handle, LMDFU_FALSE);

  Handle = OpenBootLoader("SIM00025");
  ASSERT_NE(Handle, nullptr) << Sim->Output();
  // Without whole firmware the boot loader stays: the port does not come back.
  LMDFUDeviceClose(Handle, LMDFU_TRUE);
  std::this_thread::sleep_for(1500ms);
  EXPECT_FALSE(std::filesystem::exists(Runtime.PortLink(25))) << Sim->Output();

  Handle = OpenBootLoader("SIM00025");
  ASSERT_NE(Handle, nullptr) << Sim->Output();
  ASSERT_EQ(LMDFUDownload(Handle, Image.data(), static_cast<uint32_t>(Image.size()), LMDFU_TRUE,
                          LMDFU_FALSE, nullptr),
            lm_Ok)
      << LMDFULastErrorText(Handle);
  EXPECT_EQ(LMDFUDeviceClose(Handle, LMDFU_TRUE), lm_Ok);
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(Runtime.PortLink(25)); }, 10s))
      << Sim->Output();
  OpenHost(25);
  ASSERT_TRUE(TickUntil([&] { return Host->DeviceID != 0; }, 300)) << Sim->Output();
  EXPECT_EQ(Host->FirmwareVersion, 7);
}

}  // namespace
