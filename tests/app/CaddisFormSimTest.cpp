// The main window with its real timer against the caddis-card-sim program over a
// pseudo-terminal: what the operator sees, end to end.
#include <gtest/gtest.h>

#include <QApplication>
#include <QProgressBar>
#include <QThread>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "app/CaddisUnit.h"
#include "app/QtTestEnvironment.h"
#include "dfu/DFUunit.h"
#include "package/ReleasePackage.h"
#include "serial/PseudoTerminal.h"
#include "session/ServiceRecord.h"
#include "sim/SimProcess.h"
#include "support/Sha256.h"

namespace {

testing::Environment* const Env = testing::AddGlobalTestEnvironment(new tQtTestEnvironment);

constexpr int Com = 7;

class CaddisFormSimTest : public testing::Test {
 protected:
  void SetUp() override {
    ReplaceCard({"--firmware", "3", "--fpga-version", "0104052026", "--dfu-block-ms", "20"});
    Form = std::make_unique<TCaddisForm>(true);
    Form->show();
  }
  void TearDown() override {
    Form.reset();
    Sim.reset();
  }
  // A simulated card (device ID 17) with Extra in the port, in place of the one there.
  void ReplaceCard(std::vector<std::string> Extra) {
    Sim.reset();
    Extra.insert(Extra.begin(), {"--com", std::to_string(Com), "--device-id", "17"});
    Sim = std::make_unique<tSimProcess>(Runtime, Extra);
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(Runtime.PortLink(Com)); }));
  }
  void ChoosePort() {
    Form->FillComPortsList();
    const int Index = Form->ComPortIndex(Com);
    ASSERT_GT(Index, 0);
    Form->ComPortComboBox->setCurrentIndex(Index);
    Form->ComPortComboBoxChange();
    ASSERT_NE(Form->CaddisHost, nullptr);
  }
  int CountLines(const std::string& Start) const {
    const QStringList Lines = Form->MessageMemo->toPlainText().split('\n');
    return static_cast<int>(std::count_if(Lines.begin(), Lines.end(), [&](const QString& L) {
      return L.startsWith(QString::fromStdString(Start));
    }));
  }
  bool Identified() const { return Form->IDLabel->text() == "17"; }
  // The service record's lines, each read as JSON.
  std::vector<nlohmann::json> RecordLines() const {
    std::vector<nlohmann::json> Lines;
    std::ifstream File(ServiceRecordPath());
    for (std::string Line; std::getline(File, Line);)
      Lines.push_back(nlohmann::json::parse(Line));
    return Lines;
  }
  std::string WriteBitstream(int Bytes) {
    const std::string Images = Output.Folder.Path + "/images";
    std::filesystem::create_directories(Images);
    std::ofstream File(Images + "/SkerryFPGA.bit", std::ios::binary);
    for (int i = 0; i < Bytes; ++i)
      File.put(static_cast<char>(i * 13));
    Form->ImageFolder = Images;
    return Images + "/SkerryFPGA.bit";
  }

  tCapturedOutput Output;  // keeps the log file out of the file-system root
  tTestRuntime Runtime;
  std::unique_ptr<tSimProcess> Sim;
  std::unique_ptr<TCaddisForm> Form;
};

TEST_F(CaddisFormSimTest, ChoosingThePortShowsTheCard) {
  ChoosePort();
  ASSERT_TRUE(Within([&] { return Identified() && !Form->Voltage5Label->text().isEmpty(); }));
  EXPECT_EQ(Form->VersionLabel->text(), "3");
  EXPECT_EQ(Form->FPGALabel->text(), "0104052026");
  EXPECT_FALSE(Form->TemperatureLabel->text().isEmpty());
}

TEST_F(CaddisFormSimTest, APortAnotherProgramHoldsIsExplainedInTheMessageList) {
  tPortHolder Terminal(std::filesystem::read_symlink(Runtime.PortLink(Com)).string());
  ASSERT_GT(Terminal.Pid, 0);
  Form->FillComPortsList();
  Form->ComPortComboBox->setCurrentIndex(Form->ComPortIndex(Com));
  Form->ComPortComboBoxChange();
  ASSERT_NE(Form->CaddisHost, nullptr);
  EXPECT_EQ(Form->CaddisHost->ComPort, nullptr) << "the port did not open";
  // Said whatever the logging settings, in the words the command line uses.
  EXPECT_EQ(CountLines("Cannot open ComPort 7: COM7 is in use by " + Terminal.Name()), 1)
      << Form->MessageMemo->toPlainText().toStdString();
}

TEST_F(CaddisFormSimTest, HexStatusRequestAndRepeatedEchoShowAsTraffic) {
  ChoosePort();
  ASSERT_TRUE(Within([&] { return Identified(); }));
  Form->LogCheckBox->click();
  Form->SendMessageEdit->setText("3c");
  Form->SendHexButton->click();
  ASSERT_TRUE(Within([&] { return CountLines("from Caddis: Status") >= 1; }));
  EXPECT_GE(CountLines("  to Caddis: Status"), 1);

  Form->RepeatEchoCheckBox->setChecked(true);
  ASSERT_TRUE(Within([&] { return CountLines("  to Caddis: Echo") >= 20; }));
  Form->RepeatEchoCheckBox->setChecked(false);
  QApplication::processEvents();
  const int Sent = CountLines("  to Caddis: Echo");
  Within([] { return false; }, 1);  // a second of ticks without Repeat
  EXPECT_EQ(CountLines("  to Caddis: Echo"), Sent);
}

TEST_F(CaddisFormSimTest, FPGAUpdateRestartsTheCardOnTheSamePort) {
  const std::string Image = WriteBitstream(2000);
  ChoosePort();
  ASSERT_TRUE(Within([&] { return Identified(); }));
  bool PanelSeen = false;
  Form->UpdateFPGAButton->click();
  PanelSeen = Form->UpdatePanel->isVisible();
  ASSERT_TRUE(Within([&] { return CountLines("FPGA updated successfully") == 1; }));
  EXPECT_TRUE(PanelSeen);
  EXPECT_FALSE(Form->UpdatePanel->isVisible());
  // The restart follows: the card leaves the link and comes back, and the same port is open
  // again with a new host object that sees the card.
  const std::string Name = "COM" + std::to_string(Com);
  ASSERT_TRUE(Within([&] { return CountLines("DeviceArrival " + Name) == 1; }, 20))
      << Form->MessageMemo->toPlainText().toStdString();
  ASSERT_TRUE(Within([&] { return Form->CaddisHost && Form->CaddisHost->DeviceID == 17; }));
  EXPECT_EQ(Form->ComPort, Com);
  // Its record is written once the card is back from the restart.
  ASSERT_TRUE(Within([&] { return RecordLines().size() == 1; }));
  const auto Line = RecordLines().front();
  EXPECT_EQ(Line["Program"], "caddis-updater");
  EXPECT_EQ(Line["Action"], "update-fpga");
  EXPECT_EQ(Line["Result"], "success");
  EXPECT_EQ(Line["Port"], Com);
  EXPECT_EQ(Line["Image"]["SHA256"], tSha256::HexOf(FileBytes(Image)));
  EXPECT_EQ(Line["Image"]["Size"], 2000);
  EXPECT_EQ(Line["Before"]["FPGAVersion"], "0104052026");
  EXPECT_EQ(Line["After"]["DeviceID"], 17);
  EXPECT_GT(Line["LinkHealth"]["BytesSent"].get<int>(), 2000);
}

// A card that takes the image but ignores the Restart never loads the new bitstream: the
// window says so and records the update as failed.
TEST_F(CaddisFormSimTest, AnFPGAUpdateWhoseCardIgnoresTheRestartIsRecordedAsFailed) {
  ReplaceCard({"--ignore-restart"});
  WriteBitstream(2000);
  ChoosePort();
  ASSERT_TRUE(Within([&] { return Identified(); }));
  Form->UpdateFPGAButton->click();
  ASSERT_TRUE(Within([&] { return RecordLines().size() == 1; }, 20))
      << Form->MessageMemo->toPlainText().toStdString();
  const auto Line = RecordLines().front();
  EXPECT_EQ(Line["Result"], "failed") << Form->MessageMemo->toPlainText().toStdString();
  EXPECT_NE(Line["Failure"].get<std::string>().find("did not restart"), std::string::npos)
      << Line["Failure"];
  EXPECT_EQ(CountLines("FPGA updated successfully"), 1);
  EXPECT_EQ(CountLines("the card on COM7 did not restart"), 1)
      << Form->MessageMemo->toPlainText().toStdString();
  // The link is the window's again, with the card on it.
  ASSERT_TRUE(Within([&] { return Form->CaddisHost && Form->CaddisHost->DeviceID == 17; }, 20));
}

TEST_F(CaddisFormSimTest, AnUpdateRefusedByTheCardIsRecordedWithItsReason) {
  ReplaceCard({"--ack-code", "4@3"});
  WriteBitstream(2000);
  ChoosePort();
  ASSERT_TRUE(Within([&] { return Identified(); }));
  Form->UpdateFPGAButton->click();
  ASSERT_TRUE(Within([&] { return RecordLines().size() == 1; }));
  const auto Line = RecordLines().front();
  EXPECT_EQ(Line["Result"], "failed");
  // The same words as the command line's record of the same update.
  EXPECT_EQ(Line["Failure"], "FPGA update aborted at 25%: the card answered " +
                                 tTivaFileUpdater::ErrorName(tu_FlashError) + " (code 4)");
  EXPECT_EQ(CountLines("FPGA updated successfully"), 0);
}

// Closing the window while the image is being sent: the record says the update was
// interrupted.
TEST_F(CaddisFormSimTest, AnUpdateTheClosedWindowCutShortIsRecordedAsInterrupted) {
  ReplaceCard({"--packet-delay", "50"});
  WriteBitstream(20000);
  ChoosePort();
  ASSERT_TRUE(Within([&] { return Identified(); }));
  Form->UpdateFPGAButton->click();
  ASSERT_TRUE(Within([&] { return Form->CaddisHost->Updating(); }));
  Form.reset();
  const auto Lines = RecordLines();
  ASSERT_EQ(Lines.size(), 1u);
  EXPECT_EQ(Lines.front()["Result"], "interrupted");
  EXPECT_EQ(Lines.front()["Failure"], "the window was closed during the update");
}

// With the timer stopped, nothing but the port's own report of received bytes can carry the
// transfer on: it ends all the same.
TEST_F(CaddisFormSimTest, TheCardsAnswersCarryTheTransferWithoutTheTick) {
  WriteBitstream(4000);
  ChoosePort();
  ASSERT_TRUE(Within([&] { return Identified(); }));
  Form->QFTimer->stop();
  Form->UpdateFPGAButton->click();
  ASSERT_TRUE(Form->CaddisHost && Form->CaddisHost->Updating());
  EXPECT_TRUE(Within([&] { return CountLines("FPGA updated successfully") == 1; }));
  Form->QFTimer->start();
}

TEST_F(CaddisFormSimTest, PortLeavingAndComingBackIsHeldAndReopened) {
  ChoosePort();
  ASSERT_TRUE(Within([&] { return Identified(); }));
  Form->SendMessageEdit->setText("01");  // Restart: the card drops off the link for a while
  Form->SendHexButton->click();
  const std::string Name = "COM" + std::to_string(Com);
  ASSERT_TRUE(Within([&] { return CountLines("DeviceRemoval " + Name) == 1; }));
  EXPECT_EQ(Form->CaddisHost, nullptr);
  EXPECT_EQ(Form->ComPort, Com);
  EXPECT_EQ(Form->ComPortComboBox->currentText(), "<none>");
  ASSERT_TRUE(Within([&] { return CountLines("DeviceArrival " + Name) == 1; }));
  ASSERT_NE(Form->CaddisHost, nullptr);
  EXPECT_EQ(Form->ComPortIndex(Com), Form->ComPortComboBox->currentIndex());
  EXPECT_TRUE(Within([&] { return Form->CaddisHost && Form->CaddisHost->DeviceID == 17; }));
}

// A card killed outright: its port hangs up without a removal notice. The window closes it
// as if removed, and opens it again once the card is back on the same number.
TEST_F(CaddisFormSimTest, APortThatHangsUpIsClosedAndReopened) {
  ChoosePort();
  ASSERT_TRUE(Within([&] { return Identified(); }));
  Sim->Kill();
  const std::string Name = "COM" + std::to_string(Com);
  ASSERT_TRUE(Within([&] { return CountLines(Name + " hung up") == 1; }))
      << Form->MessageMemo->toPlainText().toStdString();
  EXPECT_EQ(Form->CaddisHost, nullptr);
  EXPECT_FALSE(Form->SendHexButton->isEnabled());
  Sim = std::make_unique<tSimProcess>(
      Runtime, std::vector<std::string>{"--com", std::to_string(Com), "--device-id", "18"});
  ASSERT_TRUE(Within([&] { return Form->CaddisHost && Form->CaddisHost->DeviceID == 18; }, 20))
      << Form->MessageMemo->toPlainText().toStdString();
  EXPECT_TRUE(Form->SendHexButton->isEnabled());
  EXPECT_EQ(Form->ComPortIndex(Com), Form->ComPortComboBox->currentIndex());
  EXPECT_EQ(CountLines("Caddis Host Tx error"), 0);
}

TEST_F(CaddisFormSimTest, ChoosingNoneStopsTheReopen) {
  ChoosePort();
  ASSERT_TRUE(Within([&] { return Identified(); }));
  Form->SendMessageEdit->setText("01");
  Form->SendHexButton->click();
  ASSERT_TRUE(Within([&] { return CountLines("DeviceRemoval COM" + std::to_string(Com)) == 1; }));
  Form->ComPortComboBox->setCurrentIndex(0);
  Form->ComPortComboBoxChange();
  EXPECT_EQ(Form->ComPort, -1);
  ASSERT_TRUE(Within([&] { return CountLines("DeviceArrival COM" + std::to_string(Com)) == 1; }));
  Within([] { return false; }, 1);
  EXPECT_EQ(Form->CaddisHost, nullptr);
}

// The whole firmware update from the window: Boot over the link, the dialog on the 101st
// tick with the link closed, the boot loader found on the virtual USB bus, the download and
// verify with the bar moving, the link back after five seconds, the dialog closed once the
// card identifies itself, and the image's firmware version on show.
TEST_F(CaddisFormSimTest, FirmwareUpdateFromTheWindow) {
  Form->ImageFolder = DEMO_IMAGE_DIR;  // the build's made-up image, for the simulated card
  ChoosePort();
  ASSERT_TRUE(Within([&] { return Identified(); }));
  EXPECT_EQ(Form->VersionLabel->text(), "3");
  Form->DFUButton->click();
  EXPECT_EQ(Form->RefreshCount, 0);
  ASSERT_TRUE(Within([&] { return DFUForm != nullptr; }));
  EXPECT_GE(Form->RefreshCount, 101);
  EXPECT_EQ(Form->CaddisHost, nullptr);
  TDFUForm* Dialog = DFUForm;
  ASSERT_TRUE(Within([&] { return Dialog->ConfirmButton->isEnabled(); }, 20))
      << Dialog->StatusText();
  EXPECT_EQ(Dialog->StatusText(), "Please confirm you want to update this device");

  std::vector<int> Positions;
  QObject::connect(Dialog->ProgressBar, &QProgressBar::valueChanged,
                   [&](int Value) { Positions.push_back(Value); });
  // The window's finish handler, with a look at the status line when it is called.
  std::string StatusAtFinish;
  const tTivaUpdateEvent WindowHandler = Dialog->OnUpdateFinished();
  Dialog->OnUpdateFinished() = [&, WindowHandler](float Progress, tTivaUpdateError AckCode) {
    StatusAtFinish = Dialog->StatusText();
    WindowHandler(Progress, AckCode);
  };
  Dialog->ConfirmButton->click();
  // The last notification is handled after the call returns; then the window waits 5 s and
  // reopens the link, and the card's identity closes the dialog.
  ASSERT_TRUE(Within([&] { return DFUForm == nullptr; }, 40));
  EXPECT_EQ(StatusAtFinish, "Device updated successfully");
  EXPECT_GT(Positions.size(), 10u);
  EXPECT_TRUE(std::is_sorted(Positions.begin(), Positions.end()));
  ASSERT_NE(Form->CaddisHost, nullptr);
  EXPECT_EQ(Form->ComPort, Com);
  ASSERT_TRUE(Within([&] { return Form->VersionLabel->text() == "2"; }));
  EXPECT_EQ(Form->IDLabel->text(), "17");
  ASSERT_TRUE(Within([&] { return RecordLines().size() == 1; }));
  const auto Line = RecordLines().front();
  EXPECT_EQ(Line["Action"], "update-firmware");
  EXPECT_EQ(Line["Result"], "success");
  EXPECT_EQ(Line["Before"]["FirmwareVersion"], 3);
  EXPECT_EQ(Line["After"]["FirmwareVersion"], 2);
  EXPECT_EQ(Line["Image"]["File"], "SkerryTiva.dfu");
}

// With a release, the buttons send nothing a card already runs or that is not for it: each
// says why in the message list, and the FPGA's skip is recorded.
TEST_F(CaddisFormSimTest, AReleaseTheCardAlreadyRunsOrDoesNotFitSendsNothing) {
  const std::string Folder = Output.Folder.Path;
  std::ofstream(Folder + "/SkerryFPGA.bit", std::ios::binary) << std::string(2000, 'F');
  std::ofstream(Folder + "/SkerryTiva.dfu", std::ios::binary) << std::string(3000, 'T');
  const auto ReleaseFor = [&](std::vector<uint8_t> DeviceIDs) {
    tReleaseManifest Manifest;
    Manifest.Name = "Caddis 2027.1";
    Manifest.Version = "2027.1";
    Manifest.Date = "2027-01-15";
    Manifest.DeviceIDs = std::move(DeviceIDs);
    std::string Why;
    const std::string Path = Folder + "/release.zip";
    EXPECT_TRUE(
        CreateReleasePackage(Manifest,
                             {{pk_FPGA, Folder + "/SkerryFPGA.bit", "0104052026", std::nullopt},
                              {pk_Firmware, Folder + "/SkerryTiva.dfu", std::nullopt, uint8_t{3}}},
                             nullptr, Path, Why))
        << Why;
    tPackageCheck Check = OpenReleasePackage(Path, {});
    EXPECT_EQ(Check.Fault, pf_Unsigned) << Check.Why;
    return std::move(Check.Package);
  };
  ChoosePort();
  ASSERT_TRUE(Within([&] { return Identified(); }));
  Form->Release = ReleaseFor({17});
  Form->UpdateFPGAButton->click();
  ASSERT_TRUE(Within([&] { return CountLines("FPGA already current (version 0104052026)") == 1; }))
      << Form->MessageMemo->toPlainText().toStdString();
  Form->DFUButton->click();
  EXPECT_EQ(CountLines("Firmware already current (version 3)"), 1)
      << Form->MessageMemo->toPlainText().toStdString();
  Form->Release = ReleaseFor({21, 22});
  Form->DFUButton->click();
  const std::string Memo = Form->MessageMemo->toPlainText().toStdString();
  EXPECT_NE(Memo.find("fits device IDs 21, 22; the card on COM7 is device ID 17"),
            std::string::npos)
      << Memo;
  EXPECT_FALSE(Form->DFUFormOpen());
  ASSERT_TRUE(Within([&] { return RecordLines().size() == 1; }));
  EXPECT_EQ(RecordLines().front()["Result"], "skipped");
  EXPECT_EQ(RecordLines().front()["Release"]["Name"], "Caddis 2027.1");
  // Nothing reached the card but the window's own questions.
  EXPECT_EQ(Sim->Output().find("Boot"), std::string::npos) << Sim->Output();
  EXPECT_EQ(Sim->Output().find("image received"), std::string::npos) << Sim->Output();
}

}  // namespace
