// The main window's side of a firmware update over USB: send the card into its boot loader,
// close the serial link and open the update dialog, then reopen the link when it is done.
#include <QTimer>

#include "app/CaddisUnit.h"
#include "dfu/DFUunit.h"
#include "hostlink/CardDefs.h"

void TCaddisForm::DFUButtonClick() {
  // The record notes the card as the link knows it now, before Boot (once per dialog).
  if (!DFUFormOpen())
    BeginRecord(tRecordAction::Firmware, ImagePathIn(ImageFolder, FirmwareImageName));
  // Without a link the card is expected to be in its boot loader already.
  if (!CaddisHost) {
    StartDFU();
    return;
  }
  Session.SendBoot();
  DFURequested = true;
  RefreshCount = 0;  // the dialog opens on the 101st tick from now
}

void TCaddisForm::StartDFU() {
  DFURequested = false;
  // The folder is used in its own case: file names are case-sensitive here.
  const std::string Path = ImagePathIn(ImageFolder, FirmwareImageName);
  CloseComPort();
  // One dialog at a time: a second request brings the open one forward. A second dialog
  // would leave the first one orphaned, with no owner to close it once the card is back.
  if (!DFUForm) {
    DFUForm = new TDFUForm(this, Path);
    DFUForm->show();
    DFUForm->move(96, 36);
    DFUForm->OnUpdateFinished() = [this](float Progress, tTivaUpdateError AckCode) {
      DFUFinished(Progress, AckCode);
    };
    // A dialog closed without a download leaves nothing to record; the next update starts
    // the record afresh.
    DFUForm->OnDownloadEnded() = [this](int8_t Result, const std::string& Failure) {
      RecordFinished(Result == 0 ? sr_Succeeded : sr_Failed, Failure, Result == 0);
    };
  }
  DFUForm->raise();
  // The keyboard follows: a key must not reach "Update Firmware" under the dialog.
  DFUForm->CancelButton->setFocus(Qt::OtherFocusReason);
}

void TCaddisForm::DFUFinished(float, tTivaUpdateError) {
  // The card needs time to restart its firmware before its port is back. The window waits
  // without blocking its thread: a window that does not answer for five seconds is marked
  // "Not Responding" by Windows. A port notice meanwhile may bring the link back sooner.
  QTimer::singleShot(DFURestartWait, this, [this] { ReopenComPort(); });
}

bool TCaddisForm::DFUFormOpen() const {
  return DFUForm != nullptr;
}

void TCaddisForm::CloseDFUForm() {
  if (DFUForm) DFUForm->close();
}
