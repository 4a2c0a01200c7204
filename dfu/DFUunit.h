// The firmware update dialog: finds the card's boot loader among the USB DFU devices once a
// second, loads the firmware image, checks it against the device, and on the operator's
// confirmation downloads and verifies it, following the library's notifications on a
// progress bar and a one-line status text. It tells its owner through OnUpdateFinished when
// the update has ended or been cancelled, so the owner can reopen the serial link.
//
// Use (owner's side, on the user-interface thread):
//   DFUForm = new TDFUForm(MainWindow, ImagePath);   // the search timer runs from here
//   DFUForm->OnUpdateFinished() = [..](float, tTivaUpdateError) { ... };
//   DFUForm->show(); DFUForm->move(96, 36);
//   ...
//   if (DFUForm) DFUForm->close();   // clears DFUForm; the dialog deletes itself later
//
// The download blocks its caller (the Confirm click) until the library call has returned, as
// a call on the user-interface thread does. The library's work runs on a worker thread
// meanwhile, and the caller waits in a local event loop that delivers the notifications and
// repaints, so the status line and the bar move. That loop takes no user input: clicks and
// keys made during the download, in this dialog or in the owner's window, are held by the
// toolkit and handled after the call has returned, just as with a busy user-interface thread;
// Confirm and Cancel are also shown disabled for the duration. Timers and queued calls still
// run, the owner's main-loop timer among them (Downloading() tells it a download is under
// way). A close requested meanwhile (the owner's close()) waits until the call has ended and
// its final notification has been handled; a cancel meanwhile is ignored, since the device
// must not be reset in the middle of a write. The final completion is handled only after the
// call has returned, the result is stored in DownloadResult and the device has been closed.
//
// Everything here runs on the user-interface thread.
#pragma once

#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "lib/lmdfu/LMDFU.h"
#include "fileupdate/TivaUpdateUnit.h"
#include "hostlink/CardDefs.h"
#include "hostlink/HostFrame.h"
#include "session/DFUSession.h"

class QCloseEvent;
class QFrame;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class tQtDFUReceiver;

class TDFUForm : public QWidget {
  Q_OBJECT

 public:
  // The card's boot loader on USB.
  static constexpr uint16_t TargetVendorID = CardVendorID;
  static constexpr uint16_t TargetProductID = CardProductID;
  static constexpr int FormWidth = 272;
  static constexpr int FormHeight = 165;
  static constexpr int SearchPeriodMs = 1000;

  // aFilename: full path of the firmware image (cut to 255 characters). aOwner becomes the
  // parent; with none the dialog is a borderless window of its own (tests).
  TDFUForm(QWidget* aOwner, const std::string& aFilename);
  ~TDFUForm() override;
  TDFUForm(const TDFUForm&) = delete;
  TDFUForm& operator=(const TDFUForm&) = delete;

  // Event properties: read or assign, e.g. Form->OnUpdateFinished() = Handler.
  tTivaUpdateEvent& OnUpdateProgress() { return fOnUpdateProgress; }
  tTivaUpdateEvent& OnUpdateFinished() { return fOnUpdateFinished; }
  // Called once a download has ended (its library call returned), before its final
  // notification is handled: the result, and for a failure its text ("Download error -13:
  // ..."), so the owner can record the update.
  using tDownloadEndedEvent = std::function<void(int8_t Result, const std::string& Failure)>;
  tDownloadEndedEvent& OnDownloadEnded() { return fOnDownloadEnded; }

  // One search step of the timer: device, file, compatibility; then ready (or download).
  void TimerEvent();
  bool DeviceFound();
  bool FileLoaded();
  bool FileCompatible();
  void ConfirmButtonClick();
  void UpdateFirmware();
  void CancelButtonClick();
  void CancelDFU();

  // Dispatches one library notification (WM_DFU_...) to its handler.
  void DFUMessage(uint32_t aMessage, uint32_t aParam);
  void wmDFUDownload(uint32_t aParam);
  void wmDFUUpload(uint32_t aParam);
  void wmDFUVerify(uint32_t aParam);
  void wmDFUErase(uint32_t aParam);
  void wmDFUComplete(uint32_t aParam);
  void wmDFUError(uint32_t aParam);
  void wmDFUProgress(uint32_t aParam);

  // The bar's position and maximum in the library's units (the widget may show them scaled
  // when they exceed its range).
  int64_t BarPosition() const { return fBarPosition; }
  int64_t BarMaximum() const { return fBarMaximum; }
  // True while UpdateFirmware waits for the library call.
  bool Downloading() const { return fDownloading; }
  // The status line's text.
  std::string StatusText() const;

  bool Logging = false;
  bool ConfirmRequired = true;
  int32_t DFUindex = 0;
  std::string Filename;
  // The image, loaded by the DFU session's loader (again only when the file changed).
  tDFUImage Image;
  const std::vector<uint8_t>& DownloadBuffer = Image.Bytes();
  uint32_t DownloadSize = 0;
  int8_t DownloadResult = 0;
  uint32_t ProgressOffset = 0;

  // Controls, as the owner and the tests see them.
  QFrame* UpdatePanel = nullptr;
  QLabel* Label5 = nullptr;  // the heading's navy shadow
  QLabel* Label1 = nullptr;  // the heading
  QPlainTextEdit* DetailsMemo = nullptr;
  QLabel* MessageLabel = nullptr;
  QProgressBar* ProgressBar = nullptr;
  QPushButton* ConfirmButton = nullptr;
  QPushButton* CancelButton = nullptr;
  QTimer* Timer = nullptr;

 protected:
  void closeEvent(QCloseEvent* aEvent) override;

 private:
  void BuildControls();
  void FormCreate();
  void FormClose();
  int8_t RunDownload();
  void SetStatus(const std::string& aText);
  void Log(const std::string& aText);
  void LogStatus();
  void ReportProgress();
  void SetBar(int64_t aPosition, int64_t aMaximum);
  std::string FileNamePart() const;
  std::string DeviceString(const tDFUString& aString);
  void AddDetail(const std::string& aLine);

  tTivaUpdateEvent fOnUpdateProgress;
  tTivaUpdateEvent fOnUpdateFinished;
  tDownloadEndedEvent fOnDownloadEnded;
  std::unique_ptr<tQtDFUReceiver> fReceiver;
  tDFUDownload fDownload;
  int64_t fBarPosition = 0;
  int64_t fBarMaximum = 0;
  bool fDownloading = false;
  bool fDownloadStarted = false;
  bool fCloseWanted = false;
};

// The open update dialog, or none. The creator sets it; closing the dialog clears it.
extern TDFUForm* DFUForm;
