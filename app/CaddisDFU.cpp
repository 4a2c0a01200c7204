// The main window's side of a firmware update over USB.
#include "app/CaddisUnit.h"

void TCaddisForm::DFUButtonClick() {}
void TCaddisForm::StartDFU() {
  DFURequested = false;
}
void TCaddisForm::DFUFinished(float, tTivaUpdateError) {}
bool TCaddisForm::DFUFormOpen() const {
  return false;
}
void TCaddisForm::CloseDFUForm() {}
