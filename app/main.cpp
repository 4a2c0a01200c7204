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
#include "package/ReleaseSteps.h"
#include "serial/ComPorts.h"
#include "support/DisplayMessage.h"
#include "support/LogFile.h"
#include "support/SerialIni.h"

namespace {

// The release the window's updates are to take, checked now: a package that cannot be taken
// is said in the message list, and the window goes on with the images beside it.
void TakeRelease(TCaddisForm& Form, const std::string& Path, bool AllowUnsigned) {
  std::vector<std::string> Warnings;
  tPackageCheck Check = CheckPackage(Path, Warnings);
  for (const std::string& Warning : Warnings)
    DisplayMessage(Warning);
  if (!Check.Usable(AllowUnsigned)) {
    DisplayMessage("The release package " + Path + " is refused: " + Check.Why);
    return;
  }
  const tReleaseManifest& Manifest = Check.Package->Manifest;
  DisplayMessage("Updates take their images from " + Manifest.Name + " (version " +
                 Manifest.Version + ")" +
                 (Check.Fault == pf_Unsigned ? ", an unsigned package" : ""));
  Form.Release = std::move(Check.Package);
}

}  // namespace

int main(int argc, char** argv) {
  // Any command-line parameter shows the logging controls, whatever its text; nothing else
  // reads them. They are counted before the toolkit takes out the options it knows
  // (-reverse, -title X, ...), which would otherwise leave too few.
  const bool AnyParameter = argc > 1;
  // --package P: the update buttons take the release's images (--allow-unsigned: also from a
  // package without a signature).
  std::optional<std::string> PackagePath;
  bool AllowUnsigned = false;
  for (int i = 1; i < argc; ++i) {
    const std::string Argument = argv[i];
    if (Argument == "--package" && i + 1 < argc) PackagePath = argv[++i];
    if (Argument == "--allow-unsigned") AllowUnsigned = true;
  }
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
  if (PackagePath) TakeRelease(Form, *PackagePath, AllowUnsigned);
  // Said in the message list, where the operator reads what the tool has to say.
  if (!SettingsProblem.empty()) DisplayMessage(SettingsProblem);
  const int Result = Application.exec();
  DestroyGlobalLists();
  return Result;
}
