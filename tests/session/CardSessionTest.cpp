// The card session against the caddis-card-sim program: restart and return, the restart an
// FPGA update calls for, and the whole firmware update from Boot to the card's return.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "hostlink/OrvaneHost.h"
#include "platform/PortCatalogue.h"
#include "serial/ComPorts.h"
#include "session/CardSession.h"
#include "session/CardSessionFixture.h"
#include "sim/bootloader/DemoImage.h"
#include "sim/bootloader/VirtualDFUDevice.h"

namespace {

using namespace std::chrono_literals;

class CardSessionTest : public tCardSessionFixture {};

TEST_F(CardSessionTest, RestartedCardIsFoundAgainOnItsPort) {
  StartCard(31, {"--verbose"});
  OpenIdentified(31);
  ASSERT_TRUE(Session.Restart());
  EXPECT_EQ(Session.Host, nullptr);
  std::string Error;
  ASSERT_TRUE(Run(WaitForCardFlow(Session, 10s), Error)) << Error;
  EXPECT_EQ(Session.Host->DeviceID, 33);
  EXPECT_NE(Sim->Output().find("restarting"), std::string::npos) << Sim->Output();
}

// A port that does not open says why, through the session, and an open that succeeds
// afterwards forgets it.
TEST_F(CardSessionTest, AnOpenThatFailsKeepsThePortsErrorUntilTheNextOpen) {
  EXPECT_FALSE(Session.Open(36));
  EXPECT_EQ(Session.OpenFailure.Kind, tSerialError::se_NotFound);
  EXPECT_EQ(Session.OpenError,
            "Cannot open ComPort 36: no such port (caddis ports lists the ports present)");
  StartCard(36);
  {
    tComPort Held(36, 115200, true);
    EXPECT_FALSE(Session.Open(36));
    EXPECT_EQ(Session.OpenFailure.Kind, tSerialError::se_Busy) << Session.OpenFailure.Text();
    EXPECT_EQ(Session.OpenError.rfind("Cannot open ComPort 36: COM36 is in use by ", 0), 0u)
        << Session.OpenError;
  }
  EXPECT_TRUE(Session.Open(36)) << Session.OpenError;
  EXPECT_EQ(Session.OpenFailure.Kind, tSerialError::se_None);
  EXPECT_EQ(Session.OpenError, "");
}

// A card killed outright leaves its port hung up with no removal notice: the link is closed
// as if removed, left alone while the port is not listed, and opened again once the card is
// back on the same number. A hang-up at the identity request ends that wait at once.
TEST_F(CardSessionTest, AHungUpPortIsClosedAndOpenedAgainWhenTheCardIsBack) {
  StartCard(33);
  OpenIdentified(33);
  auto Keep = [&] {
    tHostLoop(Session.Host.get()).RunFor(tHostLoop::Tick);
    return Session.KeepLink(std::chrono::steady_clock::now());
  };
  EXPECT_EQ(Keep(), tCardSession::lc_None);
  Sim->Kill();
  tCardSession::tLinkChange Change = tCardSession::lc_None;
  ASSERT_TRUE(WaitFor([&] { return (Change = Keep()) != tCardSession::lc_None; }));
  EXPECT_EQ(Change, tCardSession::lc_HungUp);
  EXPECT_EQ(Session.Host, nullptr);
  for (int Tick = 0; Tick < 50; ++Tick)
    EXPECT_EQ(Keep(), tCardSession::lc_None) << "the dead card's port is not listed";

  StartCard(33, {"--silent"});
  ASSERT_TRUE(WaitFor([&] { return (Change = Keep()) != tCardSession::lc_None; }));
  EXPECT_EQ(Change, tCardSession::lc_Reopened);
  ASSERT_NE(Session.Host, nullptr);
  EXPECT_EQ(Output.Lines.front(), "COM33 hung up");
  EXPECT_EQ(Output.Lines.back(), "COM33 reopened");

  // The silent card never answers; killed while asked for its identity, it is not waited for.
  Session.Host->AskIdentity();
  std::string Error;
  Sim->Kill();
  EXPECT_FALSE(Run(IdentityFlow(Session, 60s), Error));
  EXPECT_EQ(Error, "the card's port COM33 hung up before the card identified itself");
}

// While a card restarts its port may hang up under the tool once more (an old device that
// was still there, an adapter coming and going): the wait goes on until the card is back.
TEST_F(CardSessionTest, TheWaitForARestartingCardOutlastsAPortThatHangsUp) {
  StartCard(35, {"--silent"});
  Session.ComPort = 35;
  // Once the wait has the silent card's port open, that port hangs up and a card that
  // answers takes its place.
  const std::filesystem::path Device = tPortCatalogue::RealDevicePathFor(35);
  ASSERT_FALSE(Device.empty());
  auto OpenHere = [&] {
    std::error_code Ec;
    for (const auto& Fd : std::filesystem::directory_iterator("/proc/self/fd", Ec))
      if (std::filesystem::read_symlink(Fd.path(), Ec) == Device) return true;
    return false;
  };
  std::thread Replace([&] {
    WaitFor(OpenHere);
    Sim->Kill();
    StartCard(35);
  });
  std::string Error;
  const bool Back = Run(WaitForCardFlow(Session, 30s), Error);
  Replace.join();
  EXPECT_TRUE(Back) << Error;
}

TEST_F(CardSessionTest, OnlyASuccessfulFPGAUpdateCallsForARestart) {
  StartCard(32);
  OpenIdentified(32);
  const std::string Image = Output.Folder.Path + "/bitstream.bin";
  {
    std::ofstream File(Image, std::ios::binary);
    std::mt19937 Random(3);
    for (int i = 0; i < 1000; ++i)
      File.put(static_cast<char>(Random()));
  }
  auto Run = [&](tImageKind Kind, const std::string& Path) {
    bool Finished = false;
    tTivaUpdateError Code = tu_SizeError;
    Session.StartUpdate(Kind, Path, {}, [&](float, tTivaUpdateError AckCode) {
      Finished = true;
      Code = AckCode;
    });
    if (Session.Host->Updating())
      tHostLoop(Session.Host.get(), true).RunUntil([&] { return Finished; }, 30s);
    return Finished && Code == tu_Ack;
  };
  ASSERT_TRUE(Run(ik_USBAudio, Image));
  EXPECT_FALSE(Session.TakeRestartDue());
  ASSERT_FALSE(Run(ik_FPGA, Output.Folder.Path + "/absent.bit"));
  EXPECT_FALSE(Session.TakeRestartDue());
  ASSERT_TRUE(Run(ik_FPGA, Image));
  EXPECT_TRUE(Session.TakeRestartDue());
  EXPECT_FALSE(Session.TakeRestartDue());
}

TEST_F(CardSessionTest, FirmwareUpdateFindsTheNewBootLoaderAndTheCardReturns) {
  // Another card's boot loader is already on the bus: the one that appears after Boot is
  // this card's, and that one is updated.
  dfu::tVirtualDFUOptions Waiting;
  Waiting.Serial = "WAITING1";
  Waiting.Name = "waiting";
  Waiting.Folder = Runtime.Folder.Path + "/run/usb";
  dfu::tVirtualDFUDevice Other(Waiting);
  std::string Error;
  ASSERT_TRUE(Other.Start(&Error)) << Error;
  ASSERT_EQ(LMDFUInit(), lm_Ok);

  StartCard(33, {"--firmware", "12"});
  OpenIdentified(33);
  tDFUDeviceEntry Loader;
  ASSERT_TRUE(Run(BootToLoaderFlow(Session, {}, 10s, Loader), Error)) << Error;
  EXPECT_EQ(Loader.Serial.Text, "SIM00033");
  EXPECT_EQ(Session.Host, nullptr);

  tDFUImage Image;
  const std::string Path = Output.Folder.Path + "/SkerryTiva.dfu";
  const auto Demo = dfu::MakeDemoImage(5, 16384);
  std::ofstream(Path, std::ios::binary)
      .write(reinterpret_cast<const char*>(Demo.data()), static_cast<std::streamsize>(Demo.size()));
  ASSERT_EQ(Image.Load(Path), tDFUImage::il_Loaded);
  ASSERT_TRUE(DownloadFirmware(Loader, Image, "SkerryTiva.dfu", true, {}, Error)) << Error;
  ASSERT_TRUE(Run(WaitForCardFlow(Session, 20s), Error)) << Error;
  EXPECT_EQ(Session.Host->FirmwareVersion, 5);
  // The other boot loader was left alone.
  tDFUFilter OtherOne;
  OtherOne.Serial = "WAITING1";
  EXPECT_EQ(SearchDFUDevices(OtherOne).size(), 1u);
}

}  // namespace
