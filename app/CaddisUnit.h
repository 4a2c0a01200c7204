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
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fileupdate/TivaUpdateUnit.h"
#include "hostlink/OrvaneHost.h"
#include "session/CardSession.h"
#include "session/ServiceRecord.h"

class tDeviceNotifier;
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
  void UpdateFileProgressEvent(float Amount, tTivaUpdateError Error);
  void UpdateFileFinishedEvent(float Amount, tTivaUpdateError Error);

  // Firmware update over USB.
  void DFUButtonClick();
  void StartDFU();
  void DFUFinished(float Progress, tTivaUpdateError AckCode);

  // The firmware update dialog is open (DFUForm), and closing it.
  bool DFUFormOpen() const;
  void CloseDFUForm();

  // Device-change notices: Arrival true for an arrival, false for a completed removal.
  void wmDeviceChange(bool Arrival, const std::string& PortName);

  // The window's own DisplayMessageProc: a new last line of MessageMemo.
  void AppendMessage(const std::string& Text);

  // The service record of the window's updates. An update that ended well is written once
  // the card is back on a link opened since (it restarts into what it was given), or after
  // RecordReturnLimit without it; one that failed is written at once.
  static constexpr std::chrono::seconds RecordReturnLimit{30};
  tServiceRecorder Record{"caddis-updater"};
  void BeginRecord(const std::string& Action, const std::string& ImagePath);
  void RecordFinished(tServiceResult Result, const std::string& Failure, bool AwaitReturn);
  void ServiceRecordStep();

  // Link state: the card session owns the host object and remembers the port.
  tCardSession Session;
  std::unique_ptr<tOrvaneHost>& CaddisHost = Session.Host;
  int32_t& ComPort = Session.ComPort;
  // Where the image files are looked for: the tool's own folder (tests move it).
  std::string ImageFolder;
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
  // An update's end waiting for the card's return before its record line is written.
  struct tPendingRecord {
    tServiceResult Result = sr_Failed;
    std::string Failure;
    uint32_t Openings = 0;
    std::chrono::steady_clock::time_point Until;
  };
  std::optional<tPendingRecord> PendingRecord;
  void WriteRecord(tServiceResult Result, const std::string& Failure);
};

// The program-wide reference to the main window, or none.
extern TCaddisForm* CaddisForm;
