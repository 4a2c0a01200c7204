// The main window: port choice, the 10 ms main loop, the status display and the commands.
//
// Everything here runs on the user-interface thread: the timer tick, the operator's actions,
// the device-change notices and the serial port's hand-offs (served from queued calls).
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fileupdate/TivaUpdateUnit.h"
#include "hostlink/OrvaneHost.h"
#include "package/ReleasePackage.h"
#include "session/CardFlows.h"
#include "session/PortRescan.h"
#include "session/ServiceRecord.h"

class tDeviceNotifier;
class tSessionEndWatch;
class QSocketNotifier;

class TCaddisForm : public QWidget {
  Q_OBJECT

 public:
  // ShowLogControls: the program was started with a command-line parameter.
  explicit TCaddisForm(bool ShowLogControls, QWidget* Parent = nullptr);
  ~TCaddisForm() override;

  // Port box and link.
  void ComPortComboBoxChange();
  void ComPortComboBoxDropDown();
  void FillComPortsList();
  int32_t ComPortIndex(int32_t nCom) const;
  void OpenComPort(int32_t nCom);
  void CloseComPort();
  void ReopenComPort();
  void EnableButtons();

  // Main loop and status display.
  void QFTimerEvent();
  void Refresh();
  // Received bytes, as soon as the port's I/O thread has stored them: a running file update
  // takes the card's answer at once rather than on the next tick, so its transfer runs at
  // the wire's pace. Everything else waits for the tick.
  void ServiceReceivedBytes();

  // Commands.
  void SendHex();
  void SendEcho();
  void ResetTiva();
  void UpdateFPGA();
  void UpdateFileProgressEvent(float Amount, tTivaUpdateError Error);
  // The transfer has ended: the progress panel goes.
  void UpdateFileEnded();

  // Firmware update over USB.
  void DFUButtonClick();
  void StartDFU();
  // After a firmware download: the link is reopened DFURestartWait later, the window's loop
  // running meanwhile.
  void DFUFinished(float Progress, tTivaUpdateError AckCode);
  static constexpr std::chrono::milliseconds DFURestartWait{5000};

  // The firmware update dialog is open (DFUForm), and closing it.
  bool DFUFormOpen() const;
  void CloseDFUForm();

  // Device-change notices: Arrival true for an arrival, false for a completed removal.
  void wmDeviceChange(bool Arrival, const std::string& PortName);

  // The window's own DisplayMessageProc: a new last line of MessageMemo.
  void AppendMessage(const std::string& Text);

  // The service record of the firmware dialog's update. Its line is written once the card
  // is back on a link opened since (it restarts into what it was given), or after
  // RecordReturnLimit without it; a failed one at once. The FPGA update's record is its flow's.
  static constexpr std::chrono::seconds RecordReturnLimit{30};
  tServiceRecorder Record{"caddis-updater"};
  void BeginRecord(const std::string& Action, const std::string& ImagePath);
  void RecordFinished(tServiceResult Result, const std::string& Failure, bool AwaitReturn);

  // The update flow under way (an FPGA image, the restart and the card's return), which owns
  // the link until it ends, and the record flow waiting for the card after a firmware update.
  // Both are stepped on every tick and whenever the port's I/O thread has stored received
  // bytes; the window's thread never waits inside them.
  std::unique_ptr<tFlow> UpdateFlow;
  std::unique_ptr<tFlow> RecordFlow;
  bool UpdateFlowRunning() const { return UpdateFlow != nullptr; }
  void StepFlows();

  // What the window shows of its flows: lines in the message list, the progress panel.
  class tWindowReport : public tFlowReport {
   public:
    explicit tWindowReport(TCaddisForm& Form) : fForm(Form) {}
    void Line(const std::string& Text) override;
    void ImageAccepted(const std::string& What) override;
    void Progress(const std::string& Label, const std::string& LineLabel, float Fraction) override;
    void ProgressEnd() override;
    bool Accepted = false;  // the card took the image (failures after it are the restart's)

   private:
    TCaddisForm& fForm;
  };
  tWindowReport Report{*this};

  // Link state: the card session owns the host object and remembers the port.
  tCardSession Session;
  std::unique_ptr<tOrvaneHost>& CaddisHost = Session.Host;
  int32_t& ComPort = Session.ComPort;
  // Where the image files are looked for: the tool's own folder (tests move it).
  std::string ImageFolder;
  // The release the update buttons take their images from (caddis-updater --package P),
  // checked before the window got it; none: the images in ImageFolder.
  std::optional<tReleasePackage> Release;
  int32_t RefreshCount = 0;
  bool DFURequested = false;
  std::string UpdatingName;

  // Controls, named by role and kind.
  QLabel* TitleShadowLabel;
  QLabel* TitleLabel;
  QComboBox* ComPortComboBox;
  QPlainTextEdit* MessageMemo;
  QLabel* IDLabel;
  QLabel* VersionLabel;
  QLabel* FPGALabel;
  QLabel* TemperatureLabel;
  QLabel* Voltage5Label;
  QLabel* Voltage7Label;
  QLabel* Voltage15Label;
  QPushButton* DFUButton;
  QPushButton* UpdateFPGAButton;
  QPushButton* ResetTivaButton;
  QPushButton* EchoButton;
  QLineEdit* EchoTextEdit;
  QCheckBox* RepeatEchoCheckBox;
  QPushButton* SendHexButton;
  QLineEdit* SendMessageEdit;
  QLabel* LogLabel;
  QCheckBox* LogCheckBox;
  QPushButton* ClearLogButton;
  QLabel* AYTLabel;
  QCheckBox* AYTCheckBox;
  QFrame* UpdatePanel;
  QLabel* UpdatingLabel;
  QProgressBar* ProgressBar;
  QTimer* QFTimer;

 protected:
  void resizeEvent(QResizeEvent* Event) override;
  void closeEvent(QCloseEvent* Event) override;
  void paintEvent(QPaintEvent* Event) override;

 private:
  void BuildControls(bool ShowLogControls);
  // The Log and AYT check boxes' settings on a newly opened link.
  void TakeLinkSettings();
  void WatchDevices();
  void WriteStartupStamp();
  QLabel* StaticLabel(const QString& Text, int Left, int Top, QWidget* Parent = nullptr);
  QLabel* ValueField(int Left, int Top, int Width, QWidget* Parent = nullptr);

  // What the status display shows, so a refresh writes only what changed.
  struct tShownValues {
    bool Identified = false;
    uint8_t DeviceID = 0;
    uint8_t FirmwareVersion = 0;
    std::string FPGAVersion;
    uint8_t Temperature = 0;
    std::array<float, 3> Voltages{};
    bool operator==(const tShownValues&) const = default;
  };
  std::optional<tShownValues> Shown;
  QPushButton* FocusHeldFor = nullptr;  // a disabled button whose focus the window holds
  QString StartupStampFile;             // written once after the first paint, when asked for
  std::vector<std::string> PortItems;   // the items of ComPortComboBox, as 8-bit texts
  std::string ShownListProblem;         // the port list's problem last shown
  bool FillingList = false;             // a selection made by the program is no change
  std::unique_ptr<tDeviceNotifier> DeviceNotifier;
  std::vector<QSocketNotifier*> DeviceSockets;
  tPortRescan PortRescan;  // the port list read again under the notices
  // The end of the user's session: an update holds it off; when it comes anyway the flows
  // stop and the record says so, as when the window closes.
  std::unique_ptr<tSessionEndWatch> SessionEndWatch;
  std::shared_ptr<std::atomic<bool>> Closing = std::make_shared<std::atomic<bool>>(false);
  void WatchSessionEnd();
  void EndOfSession();
  // An update flow has ended: its failure after the card took the image (the restart) is
  // said, and the link it left is the window's again.
  void UpdateFlowEnded();
  // With a release, whether its firmware may go to the card on the link (the card is one it
  // fits, and neither runs it already nor runs a newer one), said in the message list when not;
  // Path is where the dialog finds the image.
  bool ReleaseFirmwareFits(std::string& Path);
  // Runs a flow to its end at once, as stopped (the window is closing).
  static void StopFlow(std::unique_ptr<tFlow>& Flow);
};

// The program-wide reference to the main window, or none.
extern TCaddisForm* CaddisForm;
