// The main window's side of a firmware update over USB: send the card into its boot loader,
// close the serial link and open the update dialog, then reopen the link when it is done.
#include <QTimer>

#include "app/CaddisUnit.h"
#include "dfu/DFUunit.h"
#include "hostlink/CardDefs.h"
#include "package/ReleaseSteps.h"
#include "support/DisplayMessage.h"

void TCaddisForm::DFUButtonClick() {
  std::string Path = ImagePathIn(ImageFolder, FirmwareImageName);
  if (Release && !ReleaseFirmwareFits(Path)) return;
  // The record notes the card as the link knows it now, before Boot (once per dialog).
  if (!DFUFormOpen()) {
    BeginRecord(tRecordAction::Firmware, Path);
    if (Release) Record.SetRelease(ReleaseFactsOf(*Release));
  }
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
  std::string Path = ImagePathIn(ImageFolder, FirmwareImageName);
  if (std::string Why; Release && !ReleaseImageFile(*Release, pk_Firmware, Path, Why))
    DisplayMessage(Why);
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

bool TCaddisForm::ReleaseFirmwareFits(std::string& Path) {
  std::string Why;
  if (!ReleaseImageFile(*Release, pk_Firmware, Path, Why)) {
    DisplayMessage(Why);
    return false;
  }
  // Without a link the card is in its boot loader already and cannot say who it is.
  if (!CaddisHost) return true;
  if (const tFlowOutcome Fits = CheckReleaseFits(Path, Release->Manifest.DeviceIDs, Session);
      !Fits.Ok) {
    DisplayMessage(Fits.Text);
    return false;
  }
  const tFirmwarePolicy Policy =
      FirmwarePolicyOf(Path, CaddisHost->FirmwareVersion,
                       Release->Manifest.ImageOf(pk_Firmware)->FirmwareVersion, false);
  if (Policy.Verdict == tFirmwarePolicy::fp_Send) return true;
  DisplayMessage(Policy.Verdict == tFirmwarePolicy::fp_Current
                     ? Policy.Text
                     : Policy.Text + ": a downgrade, refused");
  return false;
}

bool TCaddisForm::DFUFormOpen() const {
  return DFUForm != nullptr;
}

void TCaddisForm::CloseDFUForm() {
  if (DFUForm) DFUForm->close();
}
