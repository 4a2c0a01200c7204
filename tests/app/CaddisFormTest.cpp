// The main window against a fake port: controls, port box, main loop, display, commands.
#include "app/CaddisUnit.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <QApplication>
#include <QTest>
#include <algorithm>
#include <filesystem>
#include <numeric>

#include "app/QtTestEnvironment.h"
#include "app/TestPorts.h"
#include "dfu/DFUunit.h"
#include "hostlink/FakeComPort.h"
#include "hostlink/HostTestSupport.h"
#include "platform/PortCatalogue.h"
#include "support/DisplayMessage.h"

namespace {

testing::Environment* const Env = testing::AddGlobalTestEnvironment(new tQtTestEnvironment);

using tBytes = std::vector<uint8_t>;

tBytes FrameOf(const tBytes& Message) {
  tBytes Frame;
  Frame.push_back(static_cast<uint8_t>(Message.size() + 1));
  for (uint8_t b : Message)
    Frame.push_back(b);
  Frame.push_back(static_cast<uint8_t>(std::accumulate(Frame.begin(), Frame.end(), 0u)));
  return Frame;
}

class CaddisFormTest : public testing::Test {
 protected:
  void SetUp() override {
    // What the system lists already (Wine lists a serial port of the machine): the box
    // shows it too.
    Listed = static_cast<int>(tPortCatalogue::ListPorts().size());
    for (int32_t Com : {3, 12})
      Ports.Add(Com);
  }
  void TearDown() override { Form.reset(); }
  TCaddisForm& Make(bool ShowLogControls = false) {
    Form = std::make_unique<TCaddisForm>(ShowLogControls);
    Form->QFTimer->stop();  // the tests tick by hand
    return *Form;
  }
  void Choose(int32_t nCom) {
    Form->FillComPortsList();
    Form->ComPortComboBox->setCurrentIndex(Form->ComPortIndex(nCom));
    Form->ComPortComboBoxChange();
  }
  void Ticks(int Count) {
    for (int i = 0; i < Count; ++i)
      Form->QFTimerEvent();
  }
  std::vector<std::string> MemoLines() const {
    std::vector<std::string> Lines;
    for (const QString& Line : Form->MessageMemo->toPlainText().split('\n'))
      if (!Line.isEmpty()) Lines.push_back(Line.toStdString());
    return Lines;
  }

  tCapturedOutput Output;  // log file in a temporary folder
  tFakePortFactory Factory;
  tTestPorts Ports;
  int Listed = 0;
  std::unique_ptr<TCaddisForm> Form;
};

TEST_F(CaddisFormTest, ControlsStartAsDesigned) {
  TCaddisForm& F = Make();
  EXPECT_EQ(F.windowTitle(), "CaddisTiva");
  EXPECT_EQ(F.width(), 504);
  EXPECT_EQ(F.height(), 461);
  EXPECT_EQ(F.TitleLabel->text(), "Caddis Updater ");
  EXPECT_TRUE(F.TitleLabel->font().bold() && F.TitleLabel->font().italic());
  EXPECT_EQ(F.ComPortComboBox->currentText(), "<none>");
  EXPECT_EQ(F.ComPortComboBox->count(), 1 + Listed + 2);
  EXPECT_EQ(F.ComPortComboBox->itemText(F.ComPortIndex(3)),
            QString::fromStdString("3 " + tTestPorts::Name(3)));
  EXPECT_EQ(F.DFUButton->text(), "Update Firmware");
  EXPECT_EQ(F.UpdateFPGAButton->text(), "Update FPGA");
  EXPECT_EQ(F.ResetTivaButton->text(), "Reset Tiva");
  EXPECT_EQ(F.EchoButton->text(), "Send Echo:");
  EXPECT_EQ(F.SendHexButton->text(), "Send Hex:");
  EXPECT_EQ(F.EchoTextEdit->text(), "Echo Text");
  EXPECT_EQ(F.ClearLogButton->text(), "Clear");
  EXPECT_EQ(F.UpdatingLabel->text(), "Please wait - updating FPGA");
  EXPECT_TRUE(F.DFUButton->isEnabled());
  EXPECT_TRUE(F.ClearLogButton->isEnabled());
  for (QPushButton* B : {F.SendHexButton, F.EchoButton, F.UpdateFPGAButton, F.ResetTivaButton})
    EXPECT_FALSE(B->isEnabled()) << B->text().toStdString();
  EXPECT_FALSE(F.RepeatEchoCheckBox->isChecked());
  EXPECT_FALSE(F.LogCheckBox->isChecked());
  EXPECT_TRUE(F.AYTCheckBox->isChecked());
  EXPECT_TRUE(F.UpdatePanel->isHidden());
  EXPECT_EQ(F.ProgressBar->maximum(), 100);
  EXPECT_EQ(F.ComPort, -1);
  EXPECT_EQ(F.CaddisHost, nullptr);
  EXPECT_EQ(CaddisForm, &F);
  // The message list grows with the window; the width stays.
  F.show();
  F.resize(504, 700);
  QApplication::processEvents();
  EXPECT_EQ(F.MessageMemo->geometry().bottom() + 1, 700 - 8);
  EXPECT_EQ(F.maximumWidth(), 504);
}

#ifndef _WIN32
TEST_F(CaddisFormTest, ARefusedPortNumbersFileIsSaidOnceInTheMessageList) {
  const std::string Config = tPaths::ConfigFolder();
  std::filesystem::create_directories(Config);
  std::filesystem::permissions(Config, std::filesystem::perms::owner_all);
  const std::string File = Config + "/ports.txt";
  ASSERT_EQ(mkfifo(File.c_str(), 0600), 0);
  TCaddisForm& F = Make();
  F.FillComPortsList();  // every drop-down fills the list again
  EXPECT_EQ(F.ComPortComboBox->count(), 3) << "the ports are listed all the same";
  const std::string Said = File + " was not read: not a regular file (a FIFO)";
  const auto Lines = MemoLines();
  EXPECT_EQ(std::count_if(Lines.begin(), Lines.end(),
                          [&](const std::string& L) { return L.rfind(Said, 0) == 0; }),
            1)
      << Form->MessageMemo->toPlainText().toStdString();
  std::filesystem::remove(File);
}
#endif

// The main loop ticks every 10 ms. On Windows that takes Qt's precise timer (a multimedia
// timer): the system's ordinary timers tick in steps of about 15.6 ms, which would slow every
// transfer by half as much again.
TEST_F(CaddisFormTest, TheMainLoopAsksForAPreciseTenMillisecondTick) {
  TCaddisForm& F = Make();
  EXPECT_EQ(F.QFTimer->interval(), 10);
  EXPECT_EQ(F.QFTimer->timerType(), Qt::PreciseTimer);
}

TEST_F(CaddisFormTest, ParametersShowTheLoggingControls) {
  for (bool WithParameter : {false, true}) {
    TCaddisForm& F = Make(WithParameter);
    for (QWidget* W : std::initializer_list<QWidget*>{F.LogLabel, F.LogCheckBox, F.ClearLogButton,
                                                      F.AYTLabel, F.AYTCheckBox})
      EXPECT_EQ(W->isHidden(), !WithParameter);
  }
}

TEST_F(CaddisFormTest, ChoosingPortsOpensAndClosesHosts) {
  TCaddisForm& F = Make();
  Choose(12);
  ASSERT_NE(F.CaddisHost, nullptr);
  EXPECT_EQ(F.ComPort, 12);
  EXPECT_EQ(Factory.LastCom, 12u);
  EXPECT_TRUE(F.SendHexButton->isEnabled() && F.ResetTivaButton->isEnabled());
  // The same port again: closed and opened with a new host object.
  const tOrvaneHost* First = F.CaddisHost.get();
  const int OpensBefore = Factory.Opens;
  Choose(12);
  EXPECT_EQ(Factory.Opens, OpensBefore + 1);
  EXPECT_NE(F.CaddisHost.get(), nullptr);
  (void)First;
  // "<none>": closed, no port chosen.
  F.ComPortComboBox->setCurrentIndex(0);
  F.ComPortComboBoxChange();
  EXPECT_EQ(F.CaddisHost, nullptr);
  EXPECT_EQ(F.ComPort, -1);
  EXPECT_FALSE(F.EchoButton->isEnabled());
}

TEST_F(CaddisFormTest, MalformedItemsAndInvalidPortText) {
  TCaddisForm& F = Make();
  F.ComPortComboBox->addItem("x ttyS9");
  F.ComPortComboBox->setCurrentIndex(F.ComPortComboBox->count() - 1);
  F.ComPortComboBoxChange();
  EXPECT_EQ(MemoLines(), std::vector<std::string>{"Invalid COM port"});
  EXPECT_EQ(F.CaddisHost, nullptr);
  EXPECT_GT(F.ComPortIndex(3), 0);
  EXPECT_EQ(F.ComPortIndex(99), -1);
}

TEST_F(CaddisFormTest, RefreshWaitsForTheHundredFirstTickAndAnIdentity) {
  TCaddisForm& F = Make();
  Choose(3);
  tFakeComPort* Port = Factory.Last;
  // Status: device 17, firmware 3, FPGA "0104052026" laid out in its three groups.
  Port->Feed(FrameOf({60, 17, 3, '2', '0', '2', '6', '0', '4', '0', '5', '0', '1'}));
  Port->Feed(FrameOf({65, 40}));
  Port->Feed(FrameOf({66, 50, 70, 150, 33, 18, 12, 5}));
  Ticks(100);
  EXPECT_EQ(F.CaddisHost->DeviceID, 17);
  EXPECT_TRUE(F.IDLabel->text().isEmpty());  // nothing before the 101st tick
  Ticks(1);
  EXPECT_EQ(F.IDLabel->text(), "17");
  EXPECT_EQ(F.VersionLabel->text(), "3");
  EXPECT_EQ(F.FPGALabel->text(), "0104052026");
  EXPECT_EQ(F.TemperatureLabel->text(), "40");
  const QString Dot = QLocale().decimalPoint();
  EXPECT_EQ(F.Voltage5Label->text(), "5" + Dot + "0");
  EXPECT_EQ(F.Voltage7Label->text(), "7" + Dot + "0");
  EXPECT_EQ(F.Voltage15Label->text(), "15" + Dot + "0");
  // Closing the port empties all seven fields on the next tick.
  F.CloseComPort();
  Ticks(1);
  for (QLabel* L : {F.IDLabel, F.VersionLabel, F.FPGALabel, F.TemperatureLabel, F.Voltage5Label,
                    F.Voltage7Label, F.Voltage15Label})
    EXPECT_TRUE(L->text().isEmpty());
}

TEST_F(CaddisFormTest, IdentityZeroShowsNothing) {
  TCaddisForm& F = Make();
  Choose(3);
  Factory.Last->Feed(FrameOf({60, 0, 3, '2', '0', '2', '6', '0', '4', '0', '5', '0', '1'}));
  Ticks(150);
  EXPECT_TRUE(F.VersionLabel->text().isEmpty());
}

TEST_F(CaddisFormTest, SendHexFramesTheTypedPairs) {
  TCaddisForm& F = Make();
  Choose(3);
  tFakeComPort* Port = Factory.Last;
  auto SentFor = [&](const char* Text) {
    Port->TakeSent();
    F.SendMessageEdit->setText(Text);
    F.SendHex();
    return Port->TakeSent();
  };
  EXPECT_EQ(SentFor("0101"), FrameOf({1, 1}));
  EXPECT_EQ(SentFor("010"), FrameOf({1}));
  EXPECT_EQ(SentFor("0"), tBytes{});
  EXPECT_EQ(SentFor("01 02"), FrameOf({1, 0}));
  EXPECT_EQ(SentFor("3c"), (tBytes{2, 60, 62}));
}

TEST_F(CaddisFormTest, EchoOnceAndOnEveryTickWhileRepeatIsChecked) {
  TCaddisForm& F = Make();
  Choose(3);
  tFakeComPort* Port = Factory.Last;
  F.EchoTextEdit->setText("hi");
  F.SendEcho();
  EXPECT_EQ(Port->TakeSent(), FrameOf({5, 'h', 'i'}));
  F.RepeatEchoCheckBox->setChecked(true);
  Ticks(3);
  const tBytes Echo = FrameOf({5, 'h', 'i'});
  tBytes Three;
  for (int i = 0; i < 3; ++i)
    Three.insert(Three.end(), Echo.begin(), Echo.end());
  EXPECT_EQ(Port->TakeSent(), Three);
  F.EchoTextEdit->setText("");
  F.SendEcho();
  EXPECT_EQ(Port->TakeSent(), FrameOf({5}));
}

TEST_F(CaddisFormTest, CheckBoxesApplyToTheNextHost) {
  TCaddisForm& F = Make(true);
  F.LogCheckBox->click();
  F.AYTCheckBox->click();
  EXPECT_TRUE(F.LogCheckBox->isChecked());
  EXPECT_FALSE(F.AYTCheckBox->isChecked());
  Choose(3);
  EXPECT_TRUE(F.CaddisHost->Logging);
  EXPECT_FALSE(F.CaddisHost->AYTActive);
  F.AYTCheckBox->click();
  EXPECT_TRUE(F.CaddisHost->AYTActive);
  F.LogCheckBox->click();
  EXPECT_FALSE(F.CaddisHost->Logging);
}

TEST_F(CaddisFormTest, UpdatePanelFollowsProgressAndFinish) {
  TCaddisForm& F = Make();
  F.show();
  F.UpdateFileProgressEvent(0.0f, tu_Ack);
  EXPECT_TRUE(F.UpdatePanel->isVisible());
  EXPECT_EQ(F.ProgressBar->value(), 0);
  F.UpdateFileProgressEvent(2.0f / 3.0f, tu_Ack);
  EXPECT_EQ(F.ProgressBar->value(), 67);
  F.UpdateFileProgressEvent(0.5f, tu_FlashError);
  EXPECT_FALSE(F.UpdatePanel->isVisible());
  F.UpdateFileProgressEvent(0.5f, tu_Ack);
  F.Report.ImageAccepted("USB Audio");
  F.Report.ProgressEnd();
  EXPECT_FALSE(F.UpdatePanel->isVisible());
  EXPECT_EQ(MemoLines(), std::vector<std::string>{"USB Audio updated successfully"});
}

TEST_F(CaddisFormTest, MissingBitstreamLeavesThePanelHidden) {
  TCaddisForm& F = Make();
  F.ImageFolder = Output.Folder.Path;
  Choose(3);
  F.UpdateFPGAButton->click();
  EXPECT_TRUE(F.UpdatePanel->isHidden());
  ASSERT_EQ(MemoLines().size(), 1u) << Form->MessageMemo->toPlainText().toStdString();
  EXPECT_EQ(MemoLines()[0],
            "Cannot Update FPGA: file " + Output.Folder.Path + "/SkerryFPGA.bit not found");
}

TEST_F(CaddisFormTest, RemovalOfTheOpenPortHoldsItAndArrivalReopens) {
  TCaddisForm& F = Make();
  Choose(3);
  Ports.Remove(3);
  F.wmDeviceChange(false, "COM3");
  EXPECT_EQ(F.CaddisHost, nullptr);
  EXPECT_EQ(F.ComPort, 3);
  EXPECT_EQ(F.ComPortComboBox->currentText(), "<none>");
  Ports.Add(3);
  F.wmDeviceChange(true, "COM3");
  ASSERT_NE(F.CaddisHost, nullptr);
  EXPECT_EQ(F.ComPortComboBox->currentText(), QString::fromStdString("3 " + tTestPorts::Name(3)));
  // Removal of another port leaves the open one alone; COM123 is port 123, not 12.
  F.wmDeviceChange(false, "COM123");
  EXPECT_NE(F.CaddisHost, nullptr);
  EXPECT_EQ(MemoLines(), (std::vector<std::string>{"DeviceRemoval COM3", "DeviceArrival COM3",
                                                   "DeviceRemoval COM123"}));
}

// After a firmware download the window waits for the card's restart with its loop running
// (a blocked window is "Not Responding" on Windows), then opens the link again.
TEST_F(CaddisFormTest, AfterTheFirmwareDownloadTheLinkComesBackWithoutBlockingTheWindow) {
  TCaddisForm& F = Make();
  Choose(3);
  ASSERT_NE(F.CaddisHost, nullptr);
  F.CloseComPort();
  ASSERT_EQ(F.CaddisHost, nullptr);
  F.DFUFinished(1.0f, tu_Ack);
  // Returned at once, the link still closed: the wait is the loop's, not the call's.
  EXPECT_EQ(F.CaddisHost, nullptr);
  ASSERT_TRUE(Within([&] { return F.CaddisHost != nullptr; },
                     static_cast<int>(TCaddisForm::DFURestartWait.count() / 1000) + 10));
  EXPECT_EQ(F.ComPort, 3);
}

TEST_F(CaddisFormTest, UpdateFirmwareWithoutALinkOpensTheDialogAtOnce) {
  TCaddisForm& F = Make();
  F.show();
  F.DFUButtonClick();
  ASSERT_NE(DFUForm, nullptr);
  EXPECT_EQ(DFUForm->parentWidget(), &F);
  EXPECT_EQ(DFUForm->geometry(), QRect(96, 36, 272, 165));
  EXPECT_EQ(Factory.Opens, 0);
  F.CloseDFUForm();
  EXPECT_EQ(DFUForm, nullptr);
}

TEST_F(CaddisFormTest, UpdateFirmwareSendsBootAndOpensTheDialogHundredOneTicksLater) {
  TCaddisForm& F = Make();
  F.show();
  Choose(3);
  Ticks(150);
  Factory.Last->TakeSent();
  F.DFUButtonClick();
  EXPECT_EQ(Factory.Last->TakeSent(), (tBytes{2, 4, 6}));
  Ticks(100);
  EXPECT_EQ(DFUForm, nullptr);
  EXPECT_NE(F.CaddisHost, nullptr);
  Ticks(1);
  ASSERT_NE(DFUForm, nullptr);
  EXPECT_EQ(F.CaddisHost, nullptr);  // the link closed before the dialog opened
  EXPECT_EQ(F.ComPort, 3);           // and is held for the return
  EXPECT_FALSE(F.DFURequested);
  F.CloseDFUForm();
}

TEST_F(CaddisFormTest, DialogClosesOnceTheCardIdentifiesItselfAgain) {
  TCaddisForm& F = Make();
  F.show();
  F.DFUButtonClick();
  ASSERT_NE(DFUForm, nullptr);
  Ticks(150);
  EXPECT_NE(DFUForm, nullptr);  // no link: the dialog stays whatever happens
  Choose(3);
  Ticks(5);
  EXPECT_NE(DFUForm, nullptr);  // link open, card not identified yet
  Factory.Last->Feed(FrameOf({60, 9, 4, '0', '0', '0', '0', '0', '0', '0', '0', '0', '0'}));
  Ticks(1);
  EXPECT_EQ(DFUForm, nullptr);
}

TEST_F(CaddisFormTest, TheDialogCoversUpdateFirmwareAndASecondRequestBringsItForward) {
  TCaddisForm& F = Make();
  F.show();
  F.DFUButtonClick();
  ASSERT_NE(DFUForm, nullptr);
  TDFUForm* First = DFUForm;
  // No corner of the button can be reached past the dialog.
  const QRect Button = F.DFUButton->geometry();
  for (const QPoint& P : {Button.topLeft(), Button.topRight(), Button.bottomLeft(),
                          Button.bottomRight(), Button.center()}) {
    QWidget* Hit = F.childAt(P);
    EXPECT_TRUE(Hit == First || First->isAncestorOf(Hit)) << P.x() << "," << P.y();
  }
  // A second request, with no link and then with one (Boot, 101 ticks, start), keeps the one
  // dialog, which still closes once the card is back.
  F.DFUButtonClick();
  Choose(3);
  F.DFUButtonClick();
  Ticks(101);
  EXPECT_EQ(DFUForm, First);
  EXPECT_EQ(F.findChildren<TDFUForm*>().size(), 1);
  EXPECT_EQ(F.CaddisHost, nullptr);
  Choose(3);
  Factory.Last->Feed(FrameOf({60, 9, 4, '0', '0', '0', '0', '0', '0', '0', '0', '0', '0'}));
  Ticks(1);
  EXPECT_EQ(DFUForm, nullptr);
}

TEST_F(CaddisFormTest, ProgressPanelCoversTheFPGAControlsAndNothingElse) {
  TCaddisForm& F = Make(true);
  F.show();
  F.UpdateFileProgressEvent(0.5f, tu_Ack);
  ASSERT_TRUE(F.UpdatePanel->isVisible());
  const QRect Panel = F.UpdatePanel->geometry();
  QList<QWidget*> Covered = {F.FPGALabel, F.UpdateFPGAButton, F.ResetTivaButton};
  for (QLabel* L : F.findChildren<QLabel*>())
    if (L->text() == "FPGA:") Covered << L;
  ASSERT_EQ(Covered.size(), 4);
  for (QWidget* W : F.findChildren<QWidget*>()) {
    if (!W->isVisible() || W == F.UpdatePanel || F.UpdatePanel->isAncestorOf(W)) continue;
    const QRect Area(W->mapTo(&F, QPoint(0, 0)), W->size());
    const bool InCovered = std::any_of(Covered.begin(), Covered.end(),
                                       [&](QWidget* C) { return C == W || C->isAncestorOf(W); });
    if (InCovered)
      EXPECT_TRUE(Panel.contains(Area)) << W->metaObject()->className();
    else
      EXPECT_FALSE(Panel.intersects(Area))
          << W->metaObject()->className() << " "
          << (qobject_cast<QLabel*>(W) ? qobject_cast<QLabel*>(W)->text().toStdString() : "");
  }
}

TEST_F(CaddisFormTest, DisablingTheFocusedButtonLeavesTheEchoTextAlone) {
  TCaddisForm& F = Make();
  F.show();
  F.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&F));
  Choose(3);
  F.ResetTivaButton->setFocus();
  // What "Reset Tiva" does around its waits: close, then reopen the same port.
  F.CloseComPort();
  EXPECT_FALSE(F.EchoTextEdit->hasFocus());
  EXPECT_TRUE(F.EchoTextEdit->selectedText().isEmpty());
  F.ReopenComPort();
  EXPECT_TRUE(F.ResetTivaButton->hasFocus());
}

}  // namespace
