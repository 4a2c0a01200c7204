// The card session against the caddis-card-sim program: restart and return, the restart an
// FPGA update calls for, and the whole firmware update from Boot to the card's return.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include <nlohmann/json.hpp>

#include "hostlink/OrvaneHost.h"
#include "platform/PortCatalogue.h"
#include "serial/ComPorts.h"
#include "session/CardSession.h"
#include "session/CardSessionFixture.h"
#include "session/ServiceRecord.h"
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

// The card that answers after a restart must be the card that left. Each row restarts card
// 21 on its port's adapter; in the swapped rows it is unplugged while it restarts and another
// card answers in its place, behind the adapter the row gives.
struct tReturnCase {
  const char* Name;
  const char* AdapterBefore;  // the port's adapter serial; nullptr: the system names none
  bool Swapped;               // another card takes the port during the restart
  int ReturningID;            // the device ID of the card that answers afterwards; 0: none
  const char* AdapterAfter;
  bool Back;  // taken for the card that left
};

class ReturnIdentityTest : public tCardSessionFixture,
                           public ::testing::WithParamInterface<tReturnCase> {};

struct tSeenReport : tFlowReport {
  std::vector<std::string> Lines, Phases;
  void Line(const std::string& Text) override { Lines.push_back(Text); }
  void Card(const tOrvaneHost&, const char* Phase) override { Phases.push_back(Phase); }
};

tAdapterIdentity Adapter(const char* Serial) {
  if (!Serial) return {};
  return {"0403", "6001", Serial, "FT232R USB UART"};
}

TEST_P(ReturnIdentityTest, OnlyTheCardThatLeftCountsAsBack) {
  const tReturnCase& Case = GetParam();
  constexpr int Com = 40;
  // The swapped card never comes back by itself.
  StartCard(Com,
            {"--device-id", "21", "--verbose", "--restart-ms", Case.Swapped ? "60000" : "300"});
  std::atomic<bool> Swapped{false};
  Session.AdapterOf = [&](int32_t Port) {
    EXPECT_EQ(Port, Com);
    return Adapter(Swapped ? Case.AdapterAfter : Case.AdapterBefore);
  };
  OpenIdentified(Com);
  tServiceRecorder Record("caddis-test");
  Record.Begin(Session, tRecordAction::FPGA, "");
  std::thread Swap([&] {
    if (!Case.Swapped) return;
    ASSERT_TRUE(WaitFor([&] { return Sim->Output().find("restarting") != std::string::npos; }));
    Sim->Kill();
    Swapped = true;
    if (Case.ReturningID) StartCard(Com, {"--device-id", std::to_string(Case.ReturningID)});
  });
  tSeenReport Report;
  // A card gone for good is waited for only briefly.
  const tReturnRequest Request{
      .Limit = Case.ReturningID ? 20s : 2s, .NotBack = fk_Verify, .Accepted = "FPGA image"};
  const tFlowOutcome Outcome =
      RunFlow(RestartAndReturnFlow(Session, Report, Request), &Session.Host);
  Swap.join();
  FinishRecord(Record, Session, Report, Outcome);

  const auto Line = nlohmann::json::parse(FileText(ServiceRecordPath()));
  EXPECT_EQ(Line["Before"]["DeviceID"], 21);
  if (!Case.ReturningID) {
    // Unplugged during its restart and never back: said as what happened.
    EXPECT_EQ(Outcome.Kind, fk_Verify);
    EXPECT_EQ(Outcome.Text,
              "FPGA image accepted; the card left during its restart and did not come back (the "
              "card did not come back on COM40 within 2 s)");
    EXPECT_TRUE(Line["After"].is_null());
    EXPECT_TRUE(Line["AdapterAfter"].is_null());
    EXPECT_EQ(Line["Failure"], Outcome.Text);
    return;
  }
  EXPECT_EQ(Line["After"]["DeviceID"], Case.ReturningID);
  if (Case.AdapterAfter)
    EXPECT_EQ(Line["AdapterAfter"]["Serial"], Case.AdapterAfter);
  else
    EXPECT_TRUE(Line["AdapterAfter"].is_null());
  if (Case.Back) {
    EXPECT_TRUE(Outcome.Ok) << Outcome.Text;
    EXPECT_EQ(Report.Lines.back(), "Card back on COM40: device ID " +
                                       std::to_string(Case.ReturningID) + ", firmware version 12");
    EXPECT_EQ(Report.Phases, std::vector<std::string>{"after"});
    EXPECT_EQ(Line["Result"], "success");
    return;
  }
  EXPECT_FALSE(Outcome.Ok);
  EXPECT_EQ(Outcome.Kind, fk_Verify);
  const std::string Then = CardIdentityText({21, Adapter(Case.AdapterBefore)});
  const std::string Now =
      CardIdentityText({static_cast<uint8_t>(Case.ReturningID), Adapter(Case.AdapterAfter)});
  EXPECT_EQ(Outcome.Text, "the card on COM40 is not the card that was updated (that was " + Then +
                              "; this is " + Now + ")");
  EXPECT_EQ(Report.Phases, std::vector<std::string>{"other"});
  EXPECT_EQ(Line["Result"], "failed");
  EXPECT_EQ(Line["Failure"], Outcome.Text);
}

const tReturnCase ReturnCases[] = {
    {"SameCardBack", "A10KJ3XQ", false, 21, "A10KJ3XQ", true},
    {"SameCardBackWithoutAdapter", nullptr, false, 21, nullptr, true},
    {"OtherDeviceID", "A10KJ3XQ", true, 22, "A10KJ3XQ", false},
    {"SameIDOtherAdapterSerial", "A10KJ3XQ", true, 21, "B77QW001", false},
    {"SameIDAdapterNoLongerNamed", "A10KJ3XQ", true, 21, nullptr, false},
    // Without an adapter the system names, the device ID is all there is to go by.
    {"NoAdapterOtherDeviceID", nullptr, true, 22, nullptr, false},
    {"NoAdapterSameDeviceID", nullptr, true, 21, nullptr, true},
    {"UnpluggedForGood", "A10KJ3XQ", true, 0, nullptr, false},
};

INSTANTIATE_TEST_SUITE_P(Cases, ReturnIdentityTest, ::testing::ValuesIn(ReturnCases),
                         [](const auto& Info) { return std::string(Info.param.Name); });

}  // namespace
