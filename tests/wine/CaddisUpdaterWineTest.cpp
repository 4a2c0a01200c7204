// The window, built for Windows, against the Linux simulated card under Wine: the card is a
// COM port of the prefix (WithSimulatedCard.sh), which the window finds in the registry's
// port list and opens as \\.\COM<n>, as on an operator's machine. Driven in-process, as the
// Linux window tests drive it: port box, main loop, status display, FPGA update.
#include <gtest/gtest.h>

#include <windows.h>

#include <QApplication>
#include <QThread>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TempFolder.h"
#include "app/CaddisUnit.h"
#include "app/QtTestEnvironment.h"
#include "hostlink/HostTestSupport.h"
#include "session/Shutdown.h"

namespace {

testing::Environment* const Env = testing::AddGlobalTestEnvironment(new tQtTestEnvironment);

class CaddisUpdaterWine : public testing::Test {
 protected:
  void SetUp() override {
    const auto ComText = tEnvironment::Get("CADDIS_TEST_SIM_COM");
    if (!ComText) GTEST_SKIP() << "run through WithSimulatedCard.sh, which starts the card";
    Com = std::stoi(*ComText);
    Received = tEnvironment::Get("CADDIS_TEST_SIM_FPGA_OUT").value_or("");
    Form = std::make_unique<TCaddisForm>(true);
    Form->show();
  }
  void TearDown() override { Form.reset(); }

  void ChoosePort() {
    Form->FillComPortsList();
    const int Index = Form->ComPortIndex(Com);
    ASSERT_GT(Index, 0) << "COM" << Com << " is not in the port list";
    Form->ComPortComboBox->setCurrentIndex(Index);
    Form->ComPortComboBoxChange();
    ASSERT_NE(Form->CaddisHost, nullptr) << Form->MessageMemo->toPlainText().toStdString();
  }
  bool Said(const QString& Line) const {
    return Form->MessageMemo->toPlainText().split('\n').contains(Line);
  }

  tCapturedOutput Output;  // the log file in a temporary folder
  int Com = 0;
  std::string Received;
  std::unique_ptr<TCaddisForm> Form;
};

TEST_F(CaddisUpdaterWine, ChoosingThePortIdentifiesTheCardAndShowsItsValues) {
  ChoosePort();
  ASSERT_TRUE(Within([&] {
    return Form->IDLabel->text() == "17" && !Form->Voltage15Label->text().isEmpty();
  })) << Form->MessageMemo->toPlainText().toStdString();
  EXPECT_EQ(Form->VersionLabel->text(), "3");
  EXPECT_EQ(Form->FPGALabel->text(), "0104052026");
  EXPECT_FALSE(Form->TemperatureLabel->text().isEmpty());
  EXPECT_FALSE(Form->Voltage5Label->text().isEmpty());
  EXPECT_FALSE(Form->Voltage7Label->text().isEmpty());
}

TEST_F(CaddisUpdaterWine, AnFPGAUpdateReachesTheCardByteForByte) {
  ASSERT_FALSE(Received.empty());
  // 64 KiB and a bit: not a whole number of packets.
  tTempFolder Images;
  std::vector<uint8_t> Image(64 * 1024 + 77);
  for (size_t i = 0; i < Image.size(); ++i)
    Image[i] = static_cast<uint8_t>((i * 7919) >> 3);
  WriteFileBytes(Images.File("SkerryFPGA.bit"), Image);
  Form->ImageFolder = Images.Path;
  ChoosePort();
  ASSERT_TRUE(Within([&] { return Form->IDLabel->text() == "17"; }));
  Form->UpdateFPGAButton->click();
  EXPECT_TRUE(Form->UpdatePanel->isVisible());
  ASSERT_TRUE(Within([&] { return Said("FPGA updated successfully"); }, 60))
      << Form->MessageMemo->toPlainText().toStdString();
  EXPECT_FALSE(Form->UpdatePanel->isVisible());
  ASSERT_TRUE(Within([&] {
    std::error_code Ec;
    return std::filesystem::file_size(Received, Ec) == Image.size();
  }));
  EXPECT_EQ(FileBytes(Received), Image);
}

// The end of the session during an update: the window's session window refuses it while the
// image is being sent, and when the session ends anyway the update stops and its record says
// "interrupted by shutdown". The system's part is played from a thread of the test, while the
// window's thread serves its loop.
TEST_F(CaddisUpdaterWine, TheEndOfTheSessionDuringAnUpdateIsRecorded) {
  tTempFolder Images;
  // Large enough that the update is still running when the session ends.
  WriteFileBytes(Images.File("SkerryFPGA.bit"), std::vector<uint8_t>(4 * 1024 * 1024, 0x5A));
  const tScopedEnv RecordFile("CADDIS_RECORD", Images.File("record.jsonl"));
  Form->ImageFolder = Images.Path;
  ChoosePort();
  ASSERT_TRUE(Within([&] { return Form->IDLabel->text() == "17"; }));
  Form->UpdateFPGAButton->click();
  std::atomic<int> Step{0};  // 1 refused, 2 told that it ends; -1 no window, -2 never refused
  std::thread System([&Step] {
    HWND Window = nullptr;
    for (int i = 0; i < 400 && !Window; ++i) {
      for (HWND W = nullptr; (W = ::FindWindowExW(nullptr, W, L"CaddisSessionEnd", nullptr));) {
        DWORD Process = 0;
        ::GetWindowThreadProcessId(W, &Process);
        if (Process == ::GetCurrentProcessId()) Window = W;
      }
      if (!Window) ::Sleep(25);
    }
    if (!Window) {
      Step = -1;
      return;
    }
    for (int i = 0; i < 400 && Step == 0; ++i) {
      if (::SendMessageW(Window, WM_QUERYENDSESSION, 0, 0) == FALSE)
        Step = 1;
      else
        ::Sleep(25);
    }
    if (Step != 1) {
      Step = -2;
      return;
    }
    ::SendMessageW(Window, WM_ENDSESSION, TRUE, 0);
    Step = 2;
  });
  const bool Ended = Within([&] { return Step.load() == 2 || Step.load() < 0; }, 60);
  System.join();
  ASSERT_TRUE(Ended);
  ASSERT_EQ(Step.load(), 2) << "-1: no session window; -2: the end was never refused\n"
                            << Form->MessageMemo->toPlainText().toStdString();
  std::vector<std::string> Lines;
  std::istringstream RecordText(FileText(Images.File("record.jsonl")));
  for (std::string Line; std::getline(RecordText, Line);)
    if (!Line.empty()) Lines.push_back(Line);
  ASSERT_EQ(Lines.size(), 1u) << Form->MessageMemo->toPlainText().toStdString();
  EXPECT_NE(Lines[0].find("\"Result\":\"interrupted\""), std::string::npos) << Lines[0];
  EXPECT_NE(Lines[0].find("interrupted by shutdown"), std::string::npos) << Lines[0];
  tShutdown::Reset();
}

}  // namespace
