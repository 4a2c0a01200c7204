// caddis-updater: the operator's window.
//
// Start-up order: the message-box default of DisplayMessageProc and the locale formats of
// the log file; the response-curve manager and the global lists of the control library; the
// screen font; the serial settings file; then the main window, which runs until closed.
#include <QApplication>
#include <QFontDatabase>
#include <QMessageBox>

#include "app/CaddisUnit.h"
#include "app/QtUIThread.h"
#include "app/WindowFont.h"
#include "lib/controls/ResponseCurves.h"
#include "lib/persist/NqLists.h"
#include "serial/ComPorts.h"
#include "support/DisplayMessage.h"
#include "support/LogFile.h"
#include "support/SerialIni.h"

int main(int argc, char** argv) {
  // Any command-line parameter shows the logging controls, whatever its text; nothing else
  // reads them. They are counted before the toolkit takes out the options it knows
  // (-reverse, -title X, ...), which would otherwise leave too few.
  const bool AnyParameter = argc > 1;
  QApplication Application(argc, argv);
  InstallQtUIThread();

  DisplayMessageProc = [](const std::string& Text) {
    QMessageBox Box(QMessageBox::Warning, "Attention", QString::fromLatin1(Text), QMessageBox::Ok);
    Box.exec();
  };
  CaptureLogFormats();
  // A port whose driver makes it poll says so in the log, where a first run on a new machine
  // is looked at.
  ReadPathProc = [](int32_t Com, tReadPath Path) {
    if (Path != rp_Events) LogToFile(ReadPathText(Com, Path));
  };
  CreateResponseLUTManager();
  CreateGlobalLists();
  // Registered by its bare name; a missing font file changes nothing.
  QFontDatabase::addApplicationFont("NQSCREEN.FON");
  UseWindowFont();
  const std::string SettingsProblem = ReadSerialSettings();

  TCaddisForm Form(AnyParameter);
  Form.show();
  // Said in the message list, where the operator reads what the tool has to say.
  if (!SettingsProblem.empty()) DisplayMessage(SettingsProblem);
  const int Result = Application.exec();
  DestroyGlobalLists();
  return Result;
}
