#include "dfu/DFUunit.h"

#include <QCloseEvent>
#include <QEventLoop>
#include <QFont>
#include <QFrame>
#include <QLabel>
#include <QMetaObject>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextDocument>
#include <QTimer>
#include <algorithm>
#include <climits>
#include <cstdio>

#include "dfu/QtDFUReceiver.h"
#include "support/DisplayMessage.h"
#include "support/ShortString.h"

TDFUForm* DFUForm = nullptr;

namespace {

QString Text8(const std::string& aText) {
  return QString::fromLatin1(aText.data(), static_cast<qsizetype>(aText.size()));
}

void SetTextColour(QWidget* aWidget, const QColor& aColour) {
  QPalette Palette = aWidget->palette();
  Palette.setColor(QPalette::WindowText, aColour);
  Palette.setColor(QPalette::Text, aColour);
  aWidget->setPalette(Palette);
}

QLabel* MakeHeading(QWidget* aParent, const QColor& aColour, int aLeft, int aTop) {
  auto* Heading = new QLabel(QStringLiteral(" Firmware Update  "), aParent);
  QFont Font = Heading->font();
  Font.setPixelSize(19);
  Font.setBold(true);
  Font.setItalic(true);
  Heading->setFont(Font);
  SetTextColour(Heading, aColour);
  Heading->setGeometry(aLeft, aTop, 220, 25);
  return Heading;
}

}  // namespace

TDFUForm::TDFUForm(QWidget* aOwner, const std::string& aFilename)
    : QWidget(aOwner, Qt::FramelessWindowHint), Filename(ShortString(aFilename)) {
  ConfirmRequired = true;
  // A closed dialog is never shown again: the next update makes a new one.
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(QStringLiteral("Orvane Firmare Update"));
  setFixedSize(FormWidth, FormHeight);
  fReceiver = std::make_unique<tQtDFUReceiver>(
      this, [this](uint32_t aMessage, uint32_t aParam) { DFUMessage(aMessage, aParam); });
  BuildControls();
  FormCreate();
}

TDFUForm::~TDFUForm() {
  if (DFUForm == this) DFUForm = nullptr;
}

void TDFUForm::BuildControls() {
  UpdatePanel = new QFrame(this);
  UpdatePanel->setGeometry(0, 0, FormWidth, FormHeight);
  UpdatePanel->setAutoFillBackground(true);
  QPalette Blue = UpdatePanel->palette();
  Blue.setColor(QPalette::Window, QColor(0, 29, 191));
  UpdatePanel->setPalette(Blue);

  // The shadowed title: navy one pixel below and right of the light blue text.
  Label5 = MakeHeading(UpdatePanel, QColor(0, 0, 128), 41, 3);
  Label1 = MakeHeading(UpdatePanel, QColor(128, 192, 255), 40, 2);

  DetailsMemo = new QPlainTextEdit(UpdatePanel);
  DetailsMemo->setGeometry(8, 28, 256, 50);
  DetailsMemo->setFrameShape(QFrame::NoFrame);
  DetailsMemo->setReadOnly(true);
  DetailsMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
  // Four device lines fit without scrolling; a second device's lines scroll into view.
  DetailsMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  DetailsMemo->document()->setDocumentMargin(1);
  QFont Small = DetailsMemo->font();
  Small.setPixelSize(9);
  DetailsMemo->setFont(Small);
  DetailsMemo->setStyleSheet(QStringLiteral("background: transparent; color: white;"));

  // Two lines, so the longest texts are shown whole in the window's font or its fallback.
  MessageLabel = new QLabel(UpdatePanel);
  MessageLabel->setGeometry(4, 79, 264, 30);
  MessageLabel->setAlignment(Qt::AlignCenter);
  MessageLabel->setWordWrap(true);
  SetTextColour(MessageLabel, Qt::white);

  ProgressBar = new QProgressBar(UpdatePanel);
  ProgressBar->setGeometry(8, 112, 256, 14);
  ProgressBar->setTextVisible(false);
  ProgressBar->setStyleSheet(
      QStringLiteral("QProgressBar { background: white; border: 1px solid #000040; }"
                     "QProgressBar::chunk { background: #00b000; }"));
  ProgressBar->setRange(0, 1);
  ProgressBar->setValue(0);
  ProgressBar->hide();

  ConfirmButton = new QPushButton(QStringLiteral("Confirm"), UpdatePanel);
  ConfirmButton->setGeometry(56, 134, 75, 24);
  ConfirmButton->setEnabled(false);
  connect(ConfirmButton, &QPushButton::clicked, this, [this] { ConfirmButtonClick(); });

  CancelButton = new QPushButton(QStringLiteral("Cancel"), UpdatePanel);
  CancelButton->setGeometry(141, 134, 75, 24);
  connect(CancelButton, &QPushButton::clicked, this, [this] { CancelButtonClick(); });

  Timer = new QTimer(this);
  Timer->setInterval(SearchPeriodMs);
  connect(Timer, &QTimer::timeout, this, [this] { TimerEvent(); });
  Timer->start();
}

void TDFUForm::FormCreate() {
  if (LMDFUInit() != 0) {
    SetStatus("DFU library not initialised");
    Timer->stop();
  }
}

// --- Search -------------------------------------------------------------------------------

void TDFUForm::TimerEvent() {
  if (!DeviceFound()) return;
  if (!FileLoaded()) return;
  if (!FileCompatible()) return;
  Timer->stop();
  if (ConfirmRequired) {
    ConfirmButton->setEnabled(true);
    SetStatus("Please confirm you want to update this device");
  } else {
    ConfirmButtonClick();
  }
}

bool TDFUForm::DeviceFound() {
  DFUindex = -1;
  DetailsMemo->clear();
  bool AccessRefused = false;
  // Four lines per matching device; with several the lowest index is the one updated.
  for (const tDFUDeviceEntry& Device : SearchDFUDevices(tDFUFilter{})) {
    char Line[48];
    std::snprintf(Line, sizeof Line, "Device found:   Vendor ID: 0x%.4X", Device.Info.usVID);
    AddDetail(Line);
    AddDetail("Device Name:   " + DeviceString(Device.Product));
    AddDetail("Manufacturer:  " + DeviceString(Device.Manufacturer));
    AddDetail("Serial Number:  " + DeviceString(Device.Serial));
    if (DFUindex >= 0) {
      SetStatus("More than one device found");
    } else {
      DFUindex = Device.Index;
      AccessRefused =
          Device.Product.Refused || Device.Manufacturer.Refused || Device.Serial.Refused;
    }
  }
  // The device that will be updated is listed first; the list starts there.
  DetailsMemo->moveCursor(QTextCursor::Start);
  DetailsMemo->verticalScrollBar()->setValue(0);
  if (DFUindex < 0) {
    SetStatus("No USB DFU devices found");
    return false;
  }
  // A card this user may not open is listed all the same, but checking and downloading the
  // image would fail without a reason: say why, and search again until access is granted.
  if (AccessRefused) {
    SetStatus("USB access refused: install the udev rule 99-caddis-dfu.rules");
    return false;
  }
  return true;
}

// A failed fetch leaves the name empty, except that a refused access says so.
std::string TDFUForm::DeviceString(const tDFUString& aString) {
  return aString.Refused ? "(no permission)" : aString.Text;
}

void TDFUForm::AddDetail(const std::string& aLine) {
  DetailsMemo->appendPlainText(Text8(ShortString(aLine)));
}

bool TDFUForm::FileLoaded() {
  const tDFUImage::tLoad Loaded = Image.Load(Filename);
  DownloadSize = Image.Size();
  if (Loaded == tDFUImage::il_Missing) {
    SetStatus("File " + FileNamePart() + " not found in local folder");
    return false;
  }
  if (Loaded == tDFUImage::il_NotAFile) {
    SetStatus(FileNamePart() + " in local folder is not a file");
    return false;
  }
  // A file that cannot be read in full (or is far too large to be firmware) gives no text.
  return Loaded == tDFUImage::il_Loaded;
}

bool TDFUForm::FileCompatible() {
  const bool Compatible = CheckDFUImage(DFUindex, Image) == lm_Ok;
  if (!Compatible) SetStatus("File " + FileNamePart() + " is not compatible with this device");
  return Compatible;
}

std::string TDFUForm::FileNamePart() const {
  const auto Slash = Filename.find_last_of('/');
  return Slash == std::string::npos ? Filename : Filename.substr(Slash + 1);
}

// --- Download -----------------------------------------------------------------------------

void TDFUForm::ConfirmButtonClick() {
  if (fDownloading) return;
  SetStatus("Please wait - downloading firmware");
  MessageLabel->repaint();
  SetBar(0, fBarMaximum);
  ProgressBar->show();
  ProgressBar->repaint();
  UpdateFirmware();
}

void TDFUForm::UpdateFirmware() {
  DownloadResult = RunDownload();
  if (!fDownloadStarted) return;
  if (fOnDownloadEnded) {
    const tDownloadEndedEvent Ended = fOnDownloadEnded;
    Ended(DownloadResult, DownloadResult == lm_Ok
                              ? std::string()
                              : DFUFailureText("Download", static_cast<tLMDFUErr>(DownloadResult),
                                               fDownload.ErrorDetails()));
  }
  // Only now may the final notification be handled: it reads DownloadResult, and its
  // OnUpdateFinished lets the owner wait for the restarted card.
  fReceiver->ReleaseHeld();
  if (fCloseWanted)
    QMetaObject::invokeMethod(
        this, [this] { close(); }, Qt::QueuedConnection);
}

// Runs the download on the DFU session's worker thread while this thread waits in a local
// event loop that handles the notifications (and repaints) but no user input. The session
// closes the device afterwards: with the reset that starts the new firmware after success,
// without it after a failure so the device stays in DFU mode for another attempt.
int8_t TDFUForm::RunDownload() {
  fDownloadStarted = false;
  QEventLoop Loop;
  const tLMDFUErr Opened = fDownload.Start(DFUindex, Image, true, fReceiver.get(), [&Loop] {
    // Posted after every notification of the call, so the loop sees them all first.
    QMetaObject::invokeMethod(
        &Loop, [&Loop] { Loop.quit(); }, Qt::QueuedConnection);
  });
  if (Opened != lm_Ok) {
    SetStatus("Open error " + std::to_string(Opened));
    return DownloadResult;
  }
  fDownloadStarted = true;
  const bool ConfirmWasEnabled = ConfirmButton->isEnabled();
  const bool CancelWasEnabled = CancelButton->isEnabled();
  ConfirmButton->setEnabled(false);
  CancelButton->setEnabled(false);
  fDownloading = true;
  // A call that ran without a thread of its own has already returned.
  if (!fDownload.Returned()) Loop.exec(QEventLoop::ExcludeUserInputEvents);
  // The loop may also end early (the application quitting); the call still finishes.
  const int8_t Result = fDownload.Finish();
  fDownloading = false;
  ConfirmButton->setEnabled(ConfirmWasEnabled);
  CancelButton->setEnabled(CancelWasEnabled);
  return Result;
}

// --- Notifications ------------------------------------------------------------------------

void TDFUForm::DFUMessage(uint32_t aMessage, uint32_t aParam) {
  switch (aMessage) {
    case WM_DFU_DOWNLOAD:
      wmDFUDownload(aParam);
      break;
    case WM_DFU_UPLOAD:
      wmDFUUpload(aParam);
      break;
    case WM_DFU_VERIFY:
      wmDFUVerify(aParam);
      break;
    case WM_DFU_ERASE:
      wmDFUErase(aParam);
      break;
    case WM_DFU_COMPLETE:
      wmDFUComplete(aParam);
      break;
    case WM_DFU_ERROR:
      wmDFUError(aParam);
      break;
    case WM_DFU_PROGRESS:
      wmDFUProgress(aParam);
      break;
    default:
      break;
  }
}

// The download fills the first half of the bar, the verify phase the second.
void TDFUForm::wmDFUDownload(uint32_t aParam) {
  LogStatus();
  ProgressOffset = 0;
  SetBar(0, 2 * static_cast<int64_t>(aParam));
}

void TDFUForm::wmDFUUpload(uint32_t aParam) {
  SetStatus("Please wait - reading firmware");
  MessageLabel->repaint();
  LogStatus();
  ProgressOffset = 0;
  SetBar(0, aParam);
  ReportProgress();
}

void TDFUForm::wmDFUErase(uint32_t aParam) {
  SetStatus("Please wait - erasing flash");
  MessageLabel->repaint();
  LogStatus();
  ProgressOffset = 0;
  SetBar(0, aParam);
  ReportProgress();
}

void TDFUForm::wmDFUVerify(uint32_t aParam) {
  SetStatus("Please wait - verifying firmware");
  MessageLabel->repaint();
  LogStatus();
  ProgressOffset = static_cast<uint32_t>(std::min<int64_t>(fBarPosition, UINT32_MAX));
  SetBar(ProgressOffset, static_cast<int64_t>(aParam) + ProgressOffset);
  ReportProgress();
}

void TDFUForm::wmDFUProgress(uint32_t aParam) {
  SetBar(static_cast<int64_t>(aParam) + ProgressOffset, fBarMaximum);
  ProgressBar->repaint();
  ReportProgress();
  if (Logging) Log(StatusText() + " - " + std::to_string(aParam));
}

// A nonzero ProgressOffset means the verify phase ended, so the whole update has.
void TDFUForm::wmDFUComplete(uint32_t) {
  const bool WholeUpdate = ProgressOffset != 0;
  if (WholeUpdate) {
    SetStatus(DownloadResult == 0 ? std::string("Device updated successfully")
                                  : "Download error " + std::to_string(DownloadResult));
    MessageLabel->repaint();
  } else {
    SetStatus(StatusText() + " - completed");
    MessageLabel->repaint();
    LogStatus();
  }
  ReportProgress();
  CancelButton->setText(QStringLiteral("Close"));
  ConfirmButton->hide();
  // The owner blocks for seconds in OnUpdateFinished: the final state is on screen first.
  UpdatePanel->repaint();
  // Last: the owner may wait, reopen the link or even close this dialog in there.
  if (WholeUpdate && fOnUpdateFinished) {
    const tTivaUpdateEvent Finished = fOnUpdateFinished;
    Finished(1.0f, tu_Ack);
  }
}

void TDFUForm::wmDFUError(uint32_t) {
  SetStatus(StatusText() + " - error");
  MessageLabel->repaint();
  ReportProgress();
  LogStatus();
}

// --- Cancel and close ---------------------------------------------------------------------

void TDFUForm::CancelButtonClick() {
  // The device must not be reset in the middle of a write; clicks made during the download
  // arrive after it anyway.
  if (fDownloading) return;
  const QPointer<TDFUForm> Self(this);
  CancelDFU();
  if (Self) close();
}

void TDFUForm::CancelDFU() {
  // Only the card is sent out of DFU mode; another device that happens to sit at this index
  // (before the first search, or after the list changed) is left as it is.
  LeaveDFUMode(DFUindex);
  if (fOnUpdateFinished) {
    const tTivaUpdateEvent Finished = fOnUpdateFinished;
    Finished(1.0f, tu_Ack);
  }
}

void TDFUForm::closeEvent(QCloseEvent* aEvent) {
  // The worker still reads DownloadBuffer: the close waits until the call has returned and
  // its final notification has been handled.
  if (fDownloading) {
    fCloseWanted = true;
    aEvent->ignore();
    return;
  }
  FormClose();
  aEvent->accept();
}

void TDFUForm::FormClose() {
  Timer->stop();
  if (DFUForm == this) DFUForm = nullptr;
  Image.Release();
  DownloadSize = 0;
}

// --- Status line and bar ------------------------------------------------------------------

std::string TDFUForm::StatusText() const {
  return MessageLabel->text().toLatin1().toStdString();
}

void TDFUForm::SetStatus(const std::string& aText) {
  MessageLabel->setText(Text8(ShortString(aText)));
}

void TDFUForm::Log(const std::string& aText) {
  if (Logging) DisplayMessage(ShortString(aText));
}

void TDFUForm::LogStatus() {
  Log(StatusText());
}

void TDFUForm::ReportProgress() {
  if (!fOnUpdateProgress) return;
  const float Progress =
      fBarMaximum == 0 ? 0.0f : static_cast<float>(fBarPosition) / static_cast<float>(fBarMaximum);
  const tTivaUpdateEvent Report = fOnUpdateProgress;
  Report(Progress, tu_Ack);
}

// Keeps the position within 0..maximum. The widget counts in int: larger values are shown
// scaled down; a maximum of 0 is shown as an empty bar (the widget would otherwise show a
// busy indicator).
void TDFUForm::SetBar(int64_t aPosition, int64_t aMaximum) {
  fBarMaximum = std::max<int64_t>(aMaximum, 0);
  fBarPosition = std::clamp<int64_t>(aPosition, 0, fBarMaximum);
  if (fBarMaximum == 0) {
    ProgressBar->setRange(0, 1);
    ProgressBar->setValue(0);
    return;
  }
  const int64_t Scale = fBarMaximum / INT_MAX + 1;
  ProgressBar->setRange(0, static_cast<int>(fBarMaximum / Scale));
  ProgressBar->setValue(static_cast<int>(fBarPosition / Scale));
}
