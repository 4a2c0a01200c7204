// The update dialog against the simulated card's boot loader, in-process over the virtual bus,
// on the offscreen platform; the notification handlers are also driven directly.
#include "dfu/DFUunit.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "lib/lmdfu/DFUTestSupport.h"
#include "QtTestPlatform.h"
#include "dfu/QtDFUReceiver.h"
#include "lib/lmdfu/DFUSuffix.h"
#include "sim/bootloader/VirtualDFUDevice.h"
#include "support/DisplayMessage.h"

namespace {

using namespace dfu;

class QtApplication : public testing::Environment {
 public:
  void SetUp() override {
    tQtTestPlatform::Choose();
    fApp = std::make_unique<QApplication>(fArgc, fArgv);
  }
  void TearDown() override { fApp.reset(); }

 private:
  int fArgc = 1;
  char fName[12] = "DFUunitTest";
  char* fArgv[2] = {fName, nullptr};
  std::unique_ptr<QApplication> fApp;
};

[[maybe_unused]] testing::Environment* const Application =
    testing::AddGlobalTestEnvironment(new QtApplication);

std::vector<std::string> Lines(const QPlainTextEdit* aMemo) {
  std::vector<std::string> Result;
  const QString Text = aMemo->toPlainText();
  if (Text.isEmpty()) return Result;
  for (const QString& Line : Text.split('\n'))
    Result.push_back(Line.toStdString());
  return Result;
}

void DeleteClosed() {
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

struct tProgressSeen {
  float Progress;
  int64_t Position;
  bool Downloading;
};

class DFUunit : public testing::Test, public tCardBus {
 protected:
  void SetUp() override {
    ImagePath = Runtime.Folder() + "/SkerryTiva.dfu";
    // The helpers below use the library before any dialog has readied it.
    ASSERT_EQ(LMDFUInit(), lm_Ok);
    SavedDisplay = DisplayMessageProc;
    DisplayMessageProc = [this](const std::string& aText) { Logged.push_back(aText); };
  }

  void TearDown() override {
    if (Form) delete Form.data();
    DeleteClosed();
    DFUForm = nullptr;
    DisplayMessageProc = SavedDisplay;
  }

  void WriteFile(const std::vector<uint8_t>& aBytes, const std::string& aPath = {}) {
    std::ofstream Out(aPath.empty() ? ImagePath : aPath, std::ios::binary | std::ios::trunc);
    Out.write(reinterpret_cast<const char*>(aBytes.data()),
              static_cast<std::streamsize>(aBytes.size()));
  }

  // A dialog as the main window makes it, with its events recorded.
  TDFUForm* MakeForm(const std::string& aPath = {}) {
    Form = new TDFUForm(nullptr, aPath.empty() ? ImagePath : aPath);
    DFUForm = Form;
    Form->OnUpdateFinished() = [this](float aProgress, tTivaUpdateError aCode) {
      Finished.push_back(aProgress);
      EXPECT_EQ(aCode, tu_Ack);
      FinishedWhileDownloading = FinishedWhileDownloading || Form->Downloading();
      FinishedStatus = Form->StatusText();
    };
    Form->OnUpdateProgress() = [this](float aProgress, tTivaUpdateError) {
      Progress.push_back({aProgress, Form->BarPosition(), Form->Downloading()});
    };
    return Form;
  }

  int IndexOf(const std::string& aSerial) {
    tLMDFUDeviceInfo Info{};
    tLMDFUHandle Handle = nullptr;
    int Index = -1;
    if (OpenBySerial(aSerial, Info, Handle, &Index) != lm_Ok) return -1;
    LMDFUDeviceClose(Handle, LMDFU_FALSE);
    return Index;
  }

  // Runs the queued notifications until aCondition holds.
  static bool WaitFor(const std::function<bool()>& aCondition, int aMs = 20000) {
    return QTest::qWaitFor(aCondition, aMs);
  }

  std::string ImagePath;
  QPointer<TDFUForm> Form;
  std::vector<float> Finished;
  bool FinishedWhileDownloading = false;
  std::string FinishedStatus;
  std::vector<tProgressSeen> Progress;
  std::vector<std::string> Logged;
  tDisplayMessageProc SavedDisplay;
};

TEST_F(DFUunit, CreationShowsTheInitialStates) {
  auto* F = MakeForm();
  EXPECT_EQ(F->size(), QSize(272, 165));
  EXPECT_EQ(F->windowTitle(), "Orvane Firmare Update");
  EXPECT_EQ(F->UpdatePanel->palette().color(QPalette::Window), QColor(0, 29, 191));
  EXPECT_EQ(F->Label1->text(), " Firmware Update  ");
  EXPECT_EQ(F->Label5->text(), " Firmware Update  ");
  EXPECT_TRUE(F->Label1->font().bold() && F->Label1->font().italic());
  EXPECT_EQ(F->Label1->font().pixelSize(), 19);
  EXPECT_EQ(F->MessageLabel->text(), "");
  EXPECT_TRUE(F->MessageLabel->alignment() & Qt::AlignHCenter);
  EXPECT_TRUE(F->ProgressBar->isHidden());
  EXPECT_FALSE(F->ConfirmButton->isEnabled());
  EXPECT_EQ(F->ConfirmButton->text(), "Confirm");
  EXPECT_TRUE(F->CancelButton->isEnabled());
  EXPECT_EQ(F->CancelButton->text(), "Cancel");
  EXPECT_TRUE(F->Timer->isActive());
  EXPECT_EQ(F->Timer->interval(), 1000);
  EXPECT_TRUE(F->ConfirmRequired);
  EXPECT_FALSE(F->Logging);
  EXPECT_EQ(F->DFUindex, 0);
  EXPECT_EQ(F->DownloadSize, 0u);
  EXPECT_EQ(F->DownloadResult, 0);
  EXPECT_EQ(F->Filename, ImagePath);
}

TEST_F(DFUunit, SearchStepsTellWhyTheDialogStillWaits) {
  auto* F = MakeForm();
  // Nothing on the bus, then only another vendor's DFU device.
  F->TimerEvent();
  EXPECT_EQ(F->StatusText(), "No USB DFU devices found");
  EXPECT_EQ(F->DFUindex, -1);
  tVirtualDFUOptions Other;
  Other.Serial = "OTHER";
  Other.Name = "a-other";
  Other.VendorID = 0x0483;
  Other.ProductID = 0xDF11;
  StartDevice(Other);
  F->TimerEvent();
  EXPECT_EQ(F->StatusText(), "No USB DFU devices found");
  EXPECT_TRUE(Lines(F->DetailsMemo).empty());

  // The card, but no image file.
  StartDevice();
  F->TimerEvent();
  EXPECT_EQ(F->StatusText(), "File SkerryTiva.dfu not found in local folder");
  EXPECT_EQ(Lines(F->DetailsMemo),
            (std::vector<std::string>{"Device found:   Vendor ID: 0x1CBE",
                                      "Device Name:   Caddis card DFU boot loader",
                                      "Manufacturer:  Caddis", "Serial Number:  SIM00001"}));
  EXPECT_EQ(F->DFUindex, IndexOf("SIM00001"));

  // Images the device refuses: no suffix, another product, an empty file.
  WriteFile(std::vector<uint8_t>(4000, 0x5A));
  F->TimerEvent();
  EXPECT_EQ(F->StatusText(), "File SkerryTiva.dfu is not compatible with this device");
  EXPECT_EQ(F->DownloadSize, 4000u);
  auto Foreign = MakeDemoFirmware(3, 2048);
  AppendSuffix(Foreign, 0x1CBE, 0x00FE);
  WriteFile(Foreign);
  F->TimerEvent();
  EXPECT_EQ(F->StatusText(), "File SkerryTiva.dfu is not compatible with this device");
  WriteFile({});
  F->TimerEvent();
  EXPECT_EQ(F->StatusText(), "File SkerryTiva.dfu is not compatible with this device");
  EXPECT_EQ(F->DownloadSize, 0u);
  EXPECT_TRUE(F->Timer->isActive());
  EXPECT_FALSE(F->ConfirmButton->isEnabled());

  // A good image: ready, the timer stops, Confirm waits for the operator.
  const auto Image = MakeDemoImage(3, 4096);
  WriteFile(Image);
  F->TimerEvent();
  EXPECT_EQ(F->StatusText(), "Please confirm you want to update this device");
  EXPECT_TRUE(F->ConfirmButton->isEnabled());
  EXPECT_FALSE(F->Timer->isActive());
  EXPECT_EQ(F->DownloadBuffer, Image);
  EXPECT_EQ(F->DownloadSize, Image.size());
  EXPECT_TRUE(F->ProgressBar->isHidden());
  EXPECT_EQ(RestartCount(), 0u);  // searching never sends a device out of DFU mode
}

TEST_F(DFUunit, UnreadableOrOverlongImagePathsAreNotLoaded) {
  StartDevice();
  // A folder where the image should be: present but not a file, and the status says so.
  std::filesystem::create_directory(ImagePath);
  auto* F = MakeForm();
  F->TimerEvent();
  EXPECT_EQ(F->StatusText(), "SkerryTiva.dfu in local folder is not a file");
  EXPECT_EQ(F->DFUindex, IndexOf("SIM00001"));
  EXPECT_EQ(F->DownloadSize, 0u);
  delete F;

  // A path beyond 255 characters is cut, so the file is then reported as not found.
  const std::string Long = Runtime.Folder() + "/" + std::string(300, 'x') + "/SkerryTiva.dfu";
  auto* G = MakeForm(Long);
  EXPECT_EQ(G->Filename, Long.substr(0, 255));
  G->TimerEvent();
  const std::string Expected =
      "File " + std::string(255 - Runtime.Folder().size() - 1, 'x') + " not found in local folder";
  EXPECT_EQ(G->StatusText(), Expected.substr(0, 255));  // the status line is cut too
}

TEST_F(DFUunit, TwoCardsListEightLinesAndTheLowerIndexIsUpdated) {
  tVirtualDFUOptions A, B;
  A.Serial = "A1";
  A.Name = "card-1";
  B.Serial = "B2";
  B.Name = "card-2";
  B.Product = "Second card";
  auto& First = StartDevice(A);
  auto& Second = StartDevice(B);
  const int IndexA = IndexOf("A1");
  ASSERT_LT(IndexA, IndexOf("B2"));
  const auto Image = MakeDemoImage(4, 3000);
  WriteFile(Image);

  auto* F = MakeForm();
  F->show();
  ASSERT_TRUE(F->DeviceFound());
  EXPECT_EQ(F->StatusText(), "More than one device found");
  // The list starts at the card that will be updated, not at the last one added.
  EXPECT_GT(F->DetailsMemo->verticalScrollBar()->maximum(), 0);
  EXPECT_EQ(F->DetailsMemo->verticalScrollBar()->value(), 0);
  EXPECT_EQ(F->DFUindex, IndexA);
  EXPECT_EQ(Lines(F->DetailsMemo),
            (std::vector<std::string>{
                "Device found:   Vendor ID: 0x1CBE", "Device Name:   Caddis card DFU boot loader",
                "Manufacturer:  Caddis", "Serial Number:  A1", "Device found:   Vendor ID: 0x1CBE",
                "Device Name:   Second card", "Manufacturer:  Caddis", "Serial Number:  B2"}));

  // The rest of the step replaces the text; the download goes to the first card only.
  F->TimerEvent();
  EXPECT_EQ(F->StatusText(), "Please confirm you want to update this device");
  EXPECT_EQ(Lines(F->DetailsMemo).size(), 8u);
  F->ConfirmButton->click();
  ASSERT_TRUE(WaitFor([&] { return F->StatusText() == "Device updated successfully"; }))
      << F->StatusText();
  EXPECT_EQ(First.DownloadsCompleted(), 1);
  EXPECT_EQ(Second.DownloadsCompleted(), 0);
  EXPECT_EQ(First.ReceivedImage(), std::vector<uint8_t>(Image.begin(), Image.end() - 16));
}

TEST_F(DFUunit, DownloadAndVerifyMoveTheBarWhileTheCallRuns) {
  tVirtualDFUOptions O;
  O.Firmware = MakeDemoFirmware(2, 32768);
  auto& Device = StartDevice(O);
  const auto Image = MakeDemoImage(3, 32768);
  WriteFile(Image);
  auto* F = MakeForm();
  F->show();  // the handlers repaint on the way
  F->TimerEvent();
  ASSERT_TRUE(F->ConfirmButton->isEnabled()) << F->StatusText();

  F->ConfirmButton->click();
  // The call has returned; its final completion is queued, not yet handled.
  EXPECT_EQ(F->DownloadResult, 0);
  EXPECT_FALSE(F->Downloading());
  EXPECT_TRUE(Finished.empty());
  EXPECT_EQ(F->StatusText(), "Please wait - verifying firmware");
  EXPECT_FALSE(F->ProgressBar->isHidden());
  EXPECT_TRUE(F->ConfirmButton->isEnabled());
  EXPECT_TRUE(F->CancelButton->isEnabled());

  // Every step was shown while the call ran: 32 blocks of 1024 bytes in each phase, on one
  // bar of 65536 (the download the first half, the verify the second).
  ASSERT_EQ(Progress.size(), 1u + 32 + 32);  // the verify start reports too
  int64_t Last = 0;
  for (const auto& Seen : Progress) {
    EXPECT_TRUE(Seen.Downloading);
    EXPECT_GE(Seen.Position, Last);
    Last = Seen.Position;
  }
  EXPECT_EQ(Progress[0].Position, 1024);
  EXPECT_FLOAT_EQ(Progress[0].Progress, 1024.0f / 65536);
  EXPECT_EQ(Progress[32].Position, 32768);  // verify starts at the half
  EXPECT_FLOAT_EQ(Progress[32].Progress, 0.5f);
  EXPECT_EQ(Progress.back().Position, 65536);
  EXPECT_EQ(F->ProgressOffset, 32768u);
  EXPECT_EQ(F->BarMaximum(), 65536);

  ASSERT_TRUE(WaitFor([&] { return !Finished.empty(); }));
  EXPECT_EQ(F->StatusText(), "Device updated successfully");
  EXPECT_EQ(FinishedStatus, "Device updated successfully");
  EXPECT_FALSE(FinishedWhileDownloading);
  EXPECT_EQ(Finished, std::vector<float>{1.0f});
  EXPECT_EQ(F->CancelButton->text(), "Close");
  EXPECT_TRUE(F->ConfirmButton->isHidden());
  EXPECT_EQ(F->ProgressBar->value(), F->ProgressBar->maximum());

  // The device was told to leave DFU mode and runs the new firmware.
  ASSERT_TRUE(WaitUntil([&] { return RestartCount() == 1; }));
  EXPECT_TRUE(Restarts[0].NewFirmware);
  EXPECT_EQ(Restarts[0].FirmwareVersion, 3);
  EXPECT_EQ(Device.ReceivedImage(), std::vector<uint8_t>(Image.begin(), Image.end() - 16));

  // Close after success runs the cancel step again: the owner hears of the end twice.
  F->CancelButton->click();
  EXPECT_EQ(Finished.size(), 2u);
  EXPECT_EQ(DFUForm, nullptr);
  EXPECT_FALSE(F->isVisible());
  DeleteClosed();
  EXPECT_TRUE(Form.isNull());
}

TEST_F(DFUunit, FailedDownloadStaysInDFUModeAndCanBeConfirmedAgain) {
  tVirtualDFUOptions O;
  O.Faults.StatusErrorAtBlock = 2;
  auto& Device = StartDevice(O);
  WriteFile(MakeDemoImage(5, 8192));
  auto* F = MakeForm();
  F->Logging = true;
  F->TimerEvent();
  ASSERT_TRUE(F->ConfirmButton->isEnabled()) << F->StatusText();

  F->ConfirmButtonClick();
  EXPECT_NE(F->DownloadResult, 0);
  ASSERT_TRUE(WaitFor([&] { return F->StatusText().ends_with(" - error"); }));
  EXPECT_EQ(F->StatusText(), "Please wait - downloading firmware - error");
  EXPECT_EQ(Logged.back(), "Please wait - downloading firmware - error");
  EXPECT_TRUE(Finished.empty());
  EXPECT_FALSE(F->ConfirmButton->isHidden());
  EXPECT_TRUE(F->ConfirmButton->isEnabled());
  EXPECT_EQ(F->CancelButton->text(), "Cancel");
  QTest::qWait(50);
  EXPECT_EQ(RestartCount(), 0u);  // closed without leaving DFU mode
  EXPECT_TRUE(Device.Running());

  Device.SetFaults({});
  F->ConfirmButtonClick();
  EXPECT_EQ(F->DownloadResult, 0);
  ASSERT_TRUE(WaitFor([&] { return F->StatusText() == "Device updated successfully"; }))
      << F->StatusText();
  EXPECT_EQ(Finished.size(), 1u);
  // Logging followed both attempts: phase texts and one line per progress step.
  EXPECT_NE(std::find(Logged.begin(), Logged.end(), "Please wait - verifying firmware - 8192"),
            Logged.end());
  EXPECT_NE(std::find(Logged.begin(), Logged.end(), "Please wait - downloading firmware - 1024"),
            Logged.end());
}

TEST_F(DFUunit, ConfirmWithTheCardGoneShowsTheOpenError) {
  auto& Device = StartDevice();
  WriteFile(MakeDemoImage(3, 2048));
  auto* F = MakeForm();
  F->TimerEvent();
  ASSERT_TRUE(F->ConfirmButton->isEnabled());
  Device.Stop();
  F->ConfirmButton->click();
  EXPECT_EQ(F->StatusText(), "Open error " + std::to_string(lm_NoDevice));
  EXPECT_TRUE(F->ConfirmButton->isEnabled());
  EXPECT_FALSE(F->ProgressBar->isHidden());
  EXPECT_FALSE(F->Timer->isActive());  // a ready dialog does not search again
  QCoreApplication::processEvents();
  EXPECT_TRUE(Finished.empty());
}

TEST_F(DFUunit, WithoutConfirmationTheTimerStartsTheDownload) {
  StartDevice();
  WriteFile(MakeDemoImage(6, 4096));
  auto* F = MakeForm();
  F->ConfirmRequired = false;
  ASSERT_TRUE(WaitFor([&] { return !Finished.empty(); }));
  EXPECT_EQ(F->StatusText(), "Device updated successfully");
  EXPECT_FALSE(F->ConfirmButton->isEnabled());
  ASSERT_TRUE(WaitUntil([&] { return RestartCount() == 1; }));
  EXPECT_EQ(Restarts[0].FirmwareVersion, 6);
}

TEST_F(DFUunit, CancelBeforeTheFirstSearchSendsTheCardOutOfDFUMode) {
  auto& Device = StartDevice();
  auto* F = MakeForm();
  ASSERT_EQ(F->DFUindex, 0);
  F->CancelButton->click();
  EXPECT_EQ(Finished, std::vector<float>{1.0f});
  EXPECT_EQ(DFUForm, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return RestartCount() == 1; }));
  EXPECT_FALSE(Restarts[0].NewFirmware);
  EXPECT_TRUE(WaitUntil([&] { return !Device.Running(); }));
  DeleteClosed();
  EXPECT_TRUE(Form.isNull());
}

TEST_F(DFUunit, CancelLeavesAnotherVendorsDeviceInDFUMode) {
  tVirtualDFUOptions Other;
  Other.Serial = "OTHER";
  Other.VendorID = 0x0483;
  Other.ProductID = 0xDF11;
  auto& Device = StartDevice(Other);
  auto* F = MakeForm();
  F->CancelButtonClick();
  EXPECT_EQ(Finished.size(), 1u);
  QTest::qWait(50);
  EXPECT_EQ(RestartCount(), 0u);
  EXPECT_TRUE(Device.Running());
  // After a search found nothing there is no device to open at all.
  auto* G = MakeForm();
  G->TimerEvent();
  EXPECT_EQ(G->DFUindex, -1);
  G->CancelButtonClick();
  EXPECT_EQ(Finished.size(), 2u);
  EXPECT_TRUE(Device.Running());
}

TEST_F(DFUunit, CloseDuringTheDownloadWaitsForItsEnd) {
  auto& Device = StartDevice();
  WriteFile(MakeDemoImage(3, 8192));
  auto* F = MakeForm();
  F->TimerEvent();
  ASSERT_TRUE(F->ConfirmButton->isEnabled());
  bool Closed = true;
  F->OnUpdateProgress() = [&](float, tTivaUpdateError) {
    if (!Form || !Form->Downloading() || !Closed) return;
    Closed = Form->close();
    // Neither the (disabled) button nor a direct call cancels in the middle of the write.
    Form->CancelButton->click();
    Form->CancelButtonClick();
  };
  F->ConfirmButtonClick();
  EXPECT_FALSE(Closed);  // refused while the worker still reads the image
  EXPECT_EQ(F->DownloadSize, 8192u + 16);
  ASSERT_TRUE(WaitFor([&] { return Form.isNull(); }));
  EXPECT_EQ(Finished, std::vector<float>{1.0f});  // the end was handled before closing
  EXPECT_EQ(FinishedStatus, "Device updated successfully");
  EXPECT_EQ(DFUForm, nullptr);
  EXPECT_EQ(Device.DownloadsCompleted(), 1);
}

// The handlers on their own: texts, bar arithmetic, reports and logging.
class DFUunitHandlers : public DFUunit {
 protected:
  void SetUp() override {
    DFUunit::SetUp();
    F = MakeForm();
    F->Timer->stop();
    F->Logging = true;
  }
  TDFUForm* F = nullptr;
};

TEST_F(DFUunitHandlers, DownloadAndVerifyShareOneBar) {
  F->MessageLabel->setText("Please wait - downloading firmware");
  F->wmDFUDownload(1000);
  EXPECT_EQ(F->BarMaximum(), 2000);
  EXPECT_EQ(F->BarPosition(), 0);
  EXPECT_EQ(F->ProgressOffset, 0u);
  EXPECT_TRUE(Progress.empty());  // no report at the download's start
  F->wmDFUProgress(250);
  EXPECT_EQ(F->BarPosition(), 250);
  EXPECT_EQ(F->ProgressBar->value(), 250);
  EXPECT_EQ(F->ProgressBar->maximum(), 2000);
  EXPECT_FLOAT_EQ(Progress.back().Progress, 0.125f);
  F->wmDFUProgress(1000);
  F->wmDFUVerify(1000);
  EXPECT_EQ(F->StatusText(), "Please wait - verifying firmware");
  EXPECT_EQ(F->ProgressOffset, 1000u);
  EXPECT_EQ(F->BarMaximum(), 2000);
  EXPECT_EQ(F->BarPosition(), 1000);
  EXPECT_FLOAT_EQ(Progress.back().Progress, 0.5f);
  F->wmDFUProgress(400);
  EXPECT_EQ(F->BarPosition(), 1400);
  F->wmDFUComplete(0);
  EXPECT_EQ(F->StatusText(), "Device updated successfully");
  EXPECT_EQ(F->CancelButton->text(), "Close");
  EXPECT_TRUE(F->ConfirmButton->isHidden());
  EXPECT_EQ(Finished, std::vector<float>{1.0f});
  EXPECT_FLOAT_EQ(Progress.back().Progress, 0.7f);
  EXPECT_EQ(Logged,
            (std::vector<std::string>{
                "Please wait - downloading firmware", "Please wait - downloading firmware - 250",
                "Please wait - downloading firmware - 1000", "Please wait - verifying firmware",
                "Please wait - verifying firmware - 400"}));
}

TEST_F(DFUunitHandlers, FinalCompletionWithAFailedCallShowsTheCode) {
  F->wmDFUDownload(10);
  F->wmDFUProgress(10);
  F->wmDFUVerify(10);
  F->DownloadResult = lm_VerifyMismatch;
  F->wmDFUComplete(0);
  EXPECT_EQ(F->StatusText(), "Download error -13");
  EXPECT_EQ(Finished.size(), 1u);
}

TEST_F(DFUunitHandlers, VerifyFromAnEmptyBarCompletesAsASinglePhase) {
  F->MessageLabel->setText("Please wait - downloading firmware");
  F->wmDFUDownload(0);
  F->wmDFUVerify(500);
  EXPECT_EQ(F->ProgressOffset, 0u);
  EXPECT_EQ(F->BarMaximum(), 500);
  F->wmDFUProgress(500);
  F->wmDFUComplete(0);
  EXPECT_EQ(F->StatusText(), "Please wait - verifying firmware - completed");
  EXPECT_EQ(Logged.back(), "Please wait - verifying firmware - completed");
  EXPECT_TRUE(Finished.empty());
  EXPECT_EQ(F->CancelButton->text(), "Close");
  EXPECT_TRUE(F->ConfirmButton->isHidden());
  EXPECT_FLOAT_EQ(Progress.back().Progress, 1.0f);
}

TEST_F(DFUunitHandlers, DownloadCompletionAloneAppendsCompleted) {
  F->MessageLabel->setText("Please wait - downloading firmware");
  F->wmDFUDownload(100);
  F->wmDFUProgress(100);
  F->wmDFUComplete(0);
  EXPECT_EQ(F->StatusText(), "Please wait - downloading firmware - completed");
  EXPECT_TRUE(Finished.empty());
  EXPECT_FLOAT_EQ(Progress.back().Progress, 0.5f);
}

TEST_F(DFUunitHandlers, UploadEraseAndErrorTexts) {
  F->wmDFUUpload(300);
  EXPECT_EQ(F->StatusText(), "Please wait - reading firmware");
  EXPECT_EQ(F->BarMaximum(), 300);
  EXPECT_FLOAT_EQ(Progress.back().Progress, 0.0f);
  F->wmDFUProgress(150);
  EXPECT_FLOAT_EQ(Progress.back().Progress, 0.5f);
  F->wmDFUErase(40);
  EXPECT_EQ(F->StatusText(), "Please wait - erasing flash");
  EXPECT_EQ(F->BarPosition(), 0);
  EXPECT_EQ(F->BarMaximum(), 40);
  F->wmDFUError(0);
  EXPECT_EQ(F->StatusText(), "Please wait - erasing flash - error");
  EXPECT_EQ(Logged.back(), "Please wait - erasing flash - error");
  EXPECT_EQ(F->CancelButton->text(), "Cancel");  // buttons are left as they are
  EXPECT_FALSE(F->ConfirmButton->isHidden());
  EXPECT_TRUE(Finished.empty());
}

TEST_F(DFUunitHandlers, TheBarStaysWithinItsRange) {
  F->wmDFUDownload(100);
  F->wmDFUProgress(5000);  // more than the phase total: a full bar
  EXPECT_EQ(F->BarPosition(), 200);
  EXPECT_EQ(F->ProgressBar->value(), 200);
  EXPECT_FLOAT_EQ(Progress.back().Progress, 1.0f);
  F->wmDFUErase(0);  // an empty phase: no division by zero, no busy indicator
  F->wmDFUProgress(7);
  EXPECT_EQ(F->BarPosition(), 0);
  EXPECT_FLOAT_EQ(Progress.back().Progress, 0.0f);
  EXPECT_EQ(F->ProgressBar->maximum(), 1);
  // Totals beyond the widget's int range are shown scaled, position and maximum alike.
  F->wmDFUDownload(0xFFFFFFF0u);
  F->wmDFUProgress(0xFFFFFFF0u);
  EXPECT_EQ(F->BarMaximum(), 2 * int64_t{0xFFFFFFF0u});
  EXPECT_EQ(F->BarPosition(), int64_t{0xFFFFFFF0u});
  EXPECT_GT(F->ProgressBar->maximum(), 0);
  EXPECT_NEAR(double(F->ProgressBar->value()) / F->ProgressBar->maximum(), 0.5, 1e-6);
  // Notifications of unknown codes are ignored.
  const std::string Before = F->StatusText();
  F->DFUMessage(0x0607, 1);
  EXPECT_EQ(F->StatusText(), Before);
}

TEST_F(DFUunit, RefusedUSBAccessIsExplainedAndSearchedAgain) {
  tVirtualDFUOptions O;
  O.Faults.RefuseAccess = true;
  auto& Device = StartDevice(O);
  WriteFile(MakeDemoImage(3, 2048));
  auto* F = MakeForm();
  F->TimerEvent();
  EXPECT_EQ(F->StatusText(), "USB access refused: install the udev rule 99-caddis-dfu.rules");
  EXPECT_EQ(Lines(F->DetailsMemo)[1], "Device Name:   (no permission)");
  EXPECT_FALSE(F->ConfirmButton->isEnabled());
  EXPECT_TRUE(F->Timer->isActive());
  // Once access is granted, the next step gets ready.
  Device.SetFaults({});
  F->TimerEvent();
  EXPECT_EQ(F->StatusText(), "Please confirm you want to update this device");
}

// The owner blocks in OnUpdateFinished (five seconds, for the card to restart): by then the
// final buttons must already be on screen, not only set.
TEST_F(DFUunitHandlers, FinalStateIsPaintedBeforeTheOwnerIsTold) {
  struct tPaintSpy : QObject {
    QString CancelPainted;
    bool PanelPaintedWithoutConfirm = false;
    TDFUForm* Form = nullptr;
    bool eventFilter(QObject* aObject, QEvent* aEvent) override {
      if (aEvent->type() == QEvent::Paint) {
        if (aObject == Form->CancelButton) CancelPainted = Form->CancelButton->text();
        if (aObject == Form->UpdatePanel && Form->ConfirmButton->isHidden())
          PanelPaintedWithoutConfirm = true;
      }
      return false;
    }
  } Spy;
  Spy.Form = F;
  F->show();
  QCoreApplication::processEvents();
  F->CancelButton->installEventFilter(&Spy);
  F->UpdatePanel->installEventFilter(&Spy);
  QString CancelSeen;
  bool PanelSeen = false;
  F->OnUpdateFinished() = [&](float, tTivaUpdateError) {
    CancelSeen = Spy.CancelPainted;
    PanelSeen = Spy.PanelPaintedWithoutConfirm;
  };
  F->wmDFUDownload(10);
  F->wmDFUProgress(10);
  F->wmDFUVerify(10);
  F->wmDFUComplete(0);
  EXPECT_EQ(CancelSeen, "Close");
  EXPECT_TRUE(PanelSeen);
}

// The receiver on its own: order kept, finals held until the call ended and released.
TEST_F(DFUunit, ReceiverHoldsTheFinalNotificationUntilReleased) {
  QObject Context;
  std::vector<std::pair<uint32_t, uint32_t>> Seen;
  tQtDFUReceiver Receiver(&Context, [&](uint32_t m, uint32_t p) { Seen.emplace_back(m, p); });
  std::thread Call([&] {
    Receiver.DFUCallStarted();
    Receiver.PostDFUMessage(WM_DFU_DOWNLOAD, 10);
    Receiver.PostDFUMessage(WM_DFU_PROGRESS, 5);
    Receiver.PostDFUMessage(WM_DFU_PROGRESS, 10);
    Receiver.PostDFUMessage(WM_DFU_ERROR, 0);
  });
  Call.join();
  QCoreApplication::processEvents();
  ASSERT_EQ(Seen.size(), 3u);
  EXPECT_EQ(Seen[2], std::make_pair(WM_DFU_PROGRESS, 10u));
  EXPECT_EQ(Receiver.ReleaseHeld(), 0u);  // the call has not ended yet
  Receiver.DFUCallEnded();
  QCoreApplication::processEvents();
  EXPECT_EQ(Seen.size(), 3u);  // ended, but not yet released by the owner
  EXPECT_EQ(Receiver.HeldCount(), 1u);
  EXPECT_EQ(Receiver.ReleaseHeld(), 1u);
  EXPECT_EQ(Seen.size(), 3u);  // queued, not called in place
  QCoreApplication::processEvents();
  ASSERT_EQ(Seen.size(), 4u);
  EXPECT_EQ(Seen[3], std::make_pair(WM_DFU_ERROR, 0u));
  EXPECT_EQ(Receiver.HeldCount(), 0u);
}

}  // namespace
