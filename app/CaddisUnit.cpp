#include "app/CaddisUnit.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QLocale>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollBar>
#include <QSocketNotifier>
#include <chrono>
#include <thread>

#include "app/CaddisText.h"
#include "app/QtUIThread.h"
#include "app/WindowFont.h"
#include "hostlink/CardDefs.h"
#include "package/ReleaseSteps.h"
#include "platform/DeviceNotifier.h"
#include "platform/Paths.h"
#include "platform/PortCatalogue.h"
#include "platform/SessionEnd.h"
#include "platform/UIThread.h"
#include "serial/ComPorts.h"
#include "session/Shutdown.h"
#include "support/DisplayMessage.h"
#include "support/ShortString.h"

TCaddisForm* CaddisForm = nullptr;

namespace {

// The client area as designed; the outer width is fixed, the height may grow.
constexpr int ClientWidth = 504;
constexpr int ClientHeight = 461;
// 332 pixels of outer height less a usual caption and frame.
constexpr int MinClientHeight = 293;
constexpr int MemoTop = 252;

const char* const WindowStyle = R"(
  TCaddisForm { background-color: rgb(0, 0, 96); }
  QLabel { color: white; }
  QLabel[valueField="true"] { color: blue; background-color: white; font-weight: bold; }
  QFrame#NavyPanel { background-color: rgb(0, 0, 128); }
  QFrame#UpdatePanel { background-color: rgb(0, 0, 96); border: 1px solid white; }
  QProgressBar { background-color: white; border: 1px solid gray; }
  QProgressBar::chunk { background-color: rgb(0, 160, 0); }
)";

// A combo box that tells its owner before its list opens, so the list is current.
class tPortComboBox : public QComboBox {
 public:
  using QComboBox::QComboBox;
  std::function<void()> OnDropDown;
  void showPopup() override {
    if (OnDropDown) OnDropDown();
    QComboBox::showPopup();
  }
};

std::string To8Bit(const QString& Text) {
  return ShortString(Text.toLatin1().toStdString());
}

}  // namespace

TCaddisForm::TCaddisForm(bool ShowLogControls, QWidget* Parent)
    : QWidget(Parent),
      // The window's restart waits block the user-interface thread, as its timing fixes.
      Session([](std::chrono::milliseconds Span) {
        std::this_thread::sleep_for(Span);
        return true;
      }),
      ImageFolder(DefaultImageFolder()) {
  CaddisForm = this;
  // Start-up measurements ask for the moment of the first paint (see WriteStartupStamp).
  StartupStampFile = qEnvironmentVariable("CADDIS_STARTUP_STAMP");
  BuildControls(ShowLogControls);

  // FormCreate: top edge of the screen, the window's own message procedure, no port yet.
  move(x(), 0);
  DisplayMessageProc = [](const std::string& Text) {
    if (CaddisForm) CaddisForm->AppendMessage(Text);
  };
  ComPort = -1;
  EnableButtons();
  FillComPortsList();
  WatchDevices();
  WatchSessionEnd();

  QFTimer = new QTimer(this);
  QFTimer->setTimerType(Qt::PreciseTimer);
  QFTimer->setInterval(10);
  connect(QFTimer, &QTimer::timeout, this, &TCaddisForm::QFTimerEvent);
  QFTimer->start();
  SetQtWakeHandler([this] { ServiceReceivedBytes(); });
}

TCaddisForm::~TCaddisForm() {
  *Closing = true;
  tShutdown::SetHold({});
  SetQtWakeHandler({});
  // A flow under way ends as stopped, so its record says how far it came: an image still
  // being sent is recorded as interrupted, an update waiting for the card as it stands.
  StopFlow(UpdateFlow);
  StopFlow(RecordFlow);
  CloseComPort();
  if (CaddisForm == this) CaddisForm = nullptr;
}

QLabel* TCaddisForm::StaticLabel(const QString& Text, int Left, int Top, QWidget* Parent) {
  auto* Label = new QLabel(Text, Parent ? Parent : this);
  Label->move(Left, Top);
  Label->adjustSize();
  return Label;
}

QLabel* TCaddisForm::ValueField(int Left, int Top, int Width, QWidget* Parent) {
  auto* Label = new QLabel(Parent ? Parent : this);
  Label->setProperty("valueField", true);
  Label->setAlignment(Qt::AlignCenter);
  Label->setGeometry(Left, Top, Width, 19);
  return Label;
}

void TCaddisForm::BuildControls(bool ShowLogControls) {
  setWindowTitle("CaddisTiva");
  setObjectName("CaddisForm");
  setStyleSheet(WindowStyle);
  setAttribute(Qt::WA_StyledBackground);
  // The window itself takes the focus from a button that is disabled under it, so the focus
  // never wanders into an edit field (where the next key would replace its text).
  setFocusPolicy(Qt::ClickFocus);
  setFixedWidth(ClientWidth);
  setMinimumHeight(MinClientHeight);
  resize(ClientWidth, ClientHeight);

  // Title: the dark copy one pixel below and right of the light one makes the shadow.
  QFont TitleFont = WindowFont(24);
  TitleFont.setBold(true);
  TitleFont.setItalic(true);
  TitleShadowLabel = StaticLabel("Caddis Updater ", 131, 5);
  TitleLabel = StaticLabel("Caddis Updater ", 130, 4);
  for (QLabel* L : {TitleShadowLabel, TitleLabel}) {
    L->setFont(TitleFont);
    L->adjustSize();
  }
  TitleShadowLabel->setStyleSheet("color: black;");
  TitleLabel->setStyleSheet("color: rgb(128, 192, 255);");

  // The update dialog opens at (96, 36) with its size of 272 x 165 and must cover "Update
  // Firmware", so the button sits in that area, right of the port box.
  StaticLabel("COM Port:", 8, 46);
  auto* Combo = new tPortComboBox(this);
  Combo->OnDropDown = [this] { ComPortComboBoxDropDown(); };
  ComPortComboBox = Combo;
  ComPortComboBox->setEditable(true);
  ComPortComboBox->setInsertPolicy(QComboBox::NoInsert);
  ComPortComboBox->setGeometry(72, 42, 164, 22);
  connect(ComPortComboBox, &QComboBox::activated, this, [this] { ComPortComboBoxChange(); });
  connect(ComPortComboBox->lineEdit(), &QLineEdit::textEdited, this,
          [this] { ComPortComboBoxChange(); });

  DFUButton = new QPushButton("Update Firmware", this);
  DFUButton->setGeometry(244, 40, 116, 25);
  connect(DFUButton, &QPushButton::clicked, this, &TCaddisForm::DFUButtonClick);

  // One row of values; the FPGA field and its two buttons end it, so that the progress panel
  // can lie over exactly those and leave the panels below alone.
  StaticLabel("ID:", 8, 78);
  IDLabel = ValueField(28, 76, 38);
  StaticLabel("version:", 72, 78);
  VersionLabel = ValueField(122, 76, 34);
  StaticLabel("FPGA:", 164, 78);
  FPGALabel = ValueField(202, 76, 88);

  UpdateFPGAButton = new QPushButton("Update FPGA", this);
  UpdateFPGAButton->setGeometry(296, 73, 98, 25);
  connect(UpdateFPGAButton, &QPushButton::clicked, this, &TCaddisForm::UpdateFPGA);
  ResetTivaButton = new QPushButton("Reset Tiva", this);
  ResetTivaButton->setGeometry(398, 73, 98, 25);
  connect(ResetTivaButton, &QPushButton::clicked, this, &TCaddisForm::ResetTiva);

  auto* TemperaturePanel = new QFrame(this);
  TemperaturePanel->setObjectName("NavyPanel");
  TemperaturePanel->setGeometry(8, 108, 130, 56);
  StaticLabel("temperature:", 8, 8, TemperaturePanel);
  TemperatureLabel = ValueField(30, 28, 70, TemperaturePanel);

  auto* VoltagePanel = new QFrame(this);
  VoltagePanel->setObjectName("NavyPanel");
  VoltagePanel->setGeometry(146, 108, 236, 56);
  StaticLabel("voltages", 96, 4, VoltagePanel);
  StaticLabel("5V:", 6, 30, VoltagePanel);
  Voltage5Label = ValueField(30, 28, 42, VoltagePanel);
  StaticLabel("7V:", 80, 30, VoltagePanel);
  Voltage7Label = ValueField(104, 28, 42, VoltagePanel);
  StaticLabel("15V:", 154, 30, VoltagePanel);
  Voltage15Label = ValueField(186, 28, 42, VoltagePanel);

  EchoButton = new QPushButton("Send Echo:", this);
  EchoButton->setGeometry(8, 176, 84, 25);
  connect(EchoButton, &QPushButton::clicked, this, &TCaddisForm::SendEcho);
  EchoTextEdit = new QLineEdit("Echo Text", this);
  EchoTextEdit->setGeometry(112, 178, 184, 21);
  RepeatEchoCheckBox = new QCheckBox(this);
  RepeatEchoCheckBox->resize(RepeatEchoCheckBox->sizeHint());
  RepeatEchoCheckBox->move(304, 180);
  StaticLabel("Repeat", 322, 181);

  SendHexButton = new QPushButton("Send Hex:", this);
  SendHexButton->setGeometry(8, 208, 84, 25);
  connect(SendHexButton, &QPushButton::clicked, this, &TCaddisForm::SendHex);
  StaticLabel("0x", 96, 213);
  SendMessageEdit = new QLineEdit(this);
  SendMessageEdit->setGeometry(112, 210, 184, 21);
  auto* OmitLabel = StaticLabel("omit length & checksum", 112, 233);
  // At 9 pixels Tahoma's stems are thinner than a pixel: drawn without smoothing (Windows
  // with font smoothing off, Wine by default) whole strokes vanish ("omit ength"), so this
  // small print is always smoothed.
  QFont SmallPrint = WindowFont(9);
  SmallPrint.setStyleStrategy(QFont::PreferAntialias);
  OmitLabel->setFont(SmallPrint);
  OmitLabel->adjustSize();

  LogLabel = StaticLabel("Log", 410, 174);
  LogCheckBox = new QCheckBox(this);
  LogCheckBox->resize(LogCheckBox->sizeHint());
  LogCheckBox->move(392, 173);
  connect(LogCheckBox, &QCheckBox::clicked, this, [this](bool On) {
    if (CaddisHost) CaddisHost->Logging = On;
  });
  AYTLabel = StaticLabel("AYT", 410, 196);
  AYTCheckBox = new QCheckBox(this);
  AYTCheckBox->resize(AYTCheckBox->sizeHint());
  AYTCheckBox->move(392, 195);
  AYTCheckBox->setChecked(true);
  connect(AYTCheckBox, &QCheckBox::clicked, this, [this](bool On) {
    if (CaddisHost) CaddisHost->AYTActive = On;
  });
  ClearLogButton = new QPushButton("Clear", this);
  ClearLogButton->setGeometry(392, 218, 104, 25);
  connect(ClearLogButton, &QPushButton::clicked, this, [this] { MessageMemo->clear(); });
  if (!ShowLogControls) {
    for (QWidget* W : std::initializer_list<QWidget*>{LogLabel, LogCheckBox, ClearLogButton,
                                                      AYTLabel, AYTCheckBox})
      W->hide();
  }

  // While shown, the progress panel lies over the "FPGA:" label, the FPGA field and the
  // "Update FPGA" and "Reset Tiva" buttons, and over nothing else.
  UpdatePanel = new QFrame(this);
  UpdatePanel->setObjectName("UpdatePanel");
  UpdatePanel->setGeometry(160, 70, 340, 32);
  UpdatingLabel = StaticLabel("Please wait - updating FPGA", 6, 8, UpdatePanel);
  ProgressBar = new QProgressBar(UpdatePanel);
  ProgressBar->setGeometry(186, 9, 146, 14);
  ProgressBar->setRange(0, 100);
  ProgressBar->setTextVisible(false);
  UpdatePanel->hide();

  MessageMemo = new QPlainTextEdit(this);
  MessageMemo->setReadOnly(true);
  MessageMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  MessageMemo->setGeometry(8, MemoTop, ClientWidth - 16, ClientHeight - MemoTop - 8);
}

void TCaddisForm::resizeEvent(QResizeEvent* Event) {
  QWidget::resizeEvent(Event);
  MessageMemo->setGeometry(8, MemoTop, ClientWidth - 16, std::max(40, height() - MemoTop - 8));
}

void TCaddisForm::closeEvent(QCloseEvent* Event) {
  // FormClose
  if (CaddisHost) CloseComPort();
  QWidget::closeEvent(Event);
}

void TCaddisForm::paintEvent(QPaintEvent* Event) {
  QWidget::paintEvent(Event);
  // The controls are painted after the window in the same pass; the stamp is written once
  // that pass has ended.
  if (!StartupStampFile.isEmpty()) QTimer::singleShot(0, this, &TCaddisForm::WriteStartupStamp);
}

// The stamp file: the wall-clock time of the first paint in nanoseconds since the epoch (so a
// script can set it against `date +%s%N` taken before the start), whether the logging
// controls are shown, and the platform plugin that drew it.
void TCaddisForm::WriteStartupStamp() {
  if (StartupStampFile.isEmpty()) return;
  const auto Now = std::chrono::system_clock::now().time_since_epoch();
  const QString Text = QStringLiteral("first-paint-ns %1\nlogging-controls %2\nplatform %3\n")
                           .arg(std::chrono::duration_cast<std::chrono::nanoseconds>(Now).count())
                           .arg(LogCheckBox->isHidden() ? "hidden" : "shown")
                           .arg(QGuiApplication::platformName());
  QFile Stamp(StartupStampFile);
  StartupStampFile.clear();
  if (Stamp.open(QIODevice::WriteOnly | QIODevice::Truncate)) Stamp.write(Text.toLatin1());
}

void TCaddisForm::AppendMessage(const std::string& Text) {
  MessageMemo->appendPlainText(QString::fromLatin1(Text));
}

// ---- Port box and link ---------------------------------------------------------------

void TCaddisForm::FillComPortsList() {
  std::vector<std::string> Items = {"<none>"};
  ListComPorts(Items);
  PortItems = Items;
  FillingList = true;
  ComPortComboBox->clear();
  for (const auto& Item : Items)
    ComPortComboBox->addItem(QString::fromLatin1(Item));
  const int32_t Index = ComPort != -1 ? ComPortIndex(ComPort) : -1;
  ComPortComboBox->setCurrentIndex(Index != -1 ? Index : 0);
  FillingList = false;
  // A file of port numbers the catalogue refuses is said once, not at every drop-down.
  if (const std::string Problem = tPortCatalogue::NumbersFileProblem();
      Problem != ShownListProblem) {
    ShownListProblem = Problem;
    if (!Problem.empty()) DisplayMessage(Problem);
  }
}

int32_t TCaddisForm::ComPortIndex(int32_t nCom) const {
  return ::ComPortIndex(PortItems, nCom);
}

void TCaddisForm::ComPortComboBoxChange() {
  if (FillingList) return;
  CloseComPort();
  // Typing into the box leaves no item selected.
  const bool Typed =
      ComPortComboBox->currentText() != ComPortComboBox->itemText(ComPortComboBox->currentIndex());
  const int Index = Typed ? -1 : ComPortComboBox->currentIndex();
  if (Index <= 0) {
    ComPort = -1;
    return;
  }
  const int32_t n = PortNumberOfItem(To8Bit(ComPortComboBox->currentText()));
  if (n < 0) {
    DisplayMessage("Invalid COM port");
    return;
  }
  OpenComPort(n);
}

void TCaddisForm::ComPortComboBoxDropDown() {
  FillComPortsList();
}

void TCaddisForm::OpenComPort(int32_t nCom) {
  if (nCom >= 0) {
    // A port another program holds is said whatever the logging settings: the operator must
    // close that program first.
    if (!Session.Open(nCom) && Session.OpenFailure.Kind == tSerialError::se_Busy)
      DisplayMessage(Session.OpenError);
    TakeLinkSettings();
  }
  EnableButtons();
}

void TCaddisForm::TakeLinkSettings() {
  if (!CaddisHost) return;
  CaddisHost->Logging = LogCheckBox->isChecked();
  CaddisHost->AYTActive = AYTCheckBox->isChecked();
}

void TCaddisForm::CloseComPort() {
  Session.Close();
  EnableButtons();
}

void TCaddisForm::ReopenComPort() {
  const int32_t i = ComPortIndex(ComPort);
  if (i < 0 || CaddisHost) return;
  Session.Reopen();
  if (!CaddisHost) return;  // the port has left the list meanwhile
  TakeLinkSettings();
  EnableButtons();
  FillingList = true;
  ComPortComboBox->setCurrentIndex(i);
  FillingList = false;
}

void TCaddisForm::EnableButtons() {
  const bool Open = CaddisHost != nullptr;
  const std::initializer_list<QPushButton*> LinkButtons = {SendHexButton, EchoButton,
                                                           UpdateFPGAButton, ResetTivaButton};
  QWidget* Focused = focusWidget();
  if (!Open && std::find(LinkButtons.begin(), LinkButtons.end(), Focused) != LinkButtons.end()) {
    // Left to itself the toolkit would pass the focus on to the next control, the echo text,
    // and select all of it. The window keeps it instead, and gives it back when the button
    // is enabled again and nothing else took it meanwhile.
    FocusHeldFor = static_cast<QPushButton*>(Focused);
    setFocus(Qt::OtherFocusReason);
  }
  for (QPushButton* B : LinkButtons)
    B->setEnabled(Open);
  if (Open && FocusHeldFor) {
    if (focusWidget() == this) FocusHeldFor->setFocus(Qt::OtherFocusReason);
    FocusHeldFor = nullptr;
  }
}

// ---- Main loop and status display ----------------------------------------------------

void TCaddisForm::ServiceReceivedBytes() {
  if (CaddisHost && (CaddisHost->Updating() || UpdateFlow)) CaddisHost->ServiceReceive();
  if (UpdateFlow) StepFlows();
}

void TCaddisForm::QFTimerEvent() {
  bool CardPresent = false;
  if (CaddisHost) CaddisHost->ServiceReceive();
  StepFlows();
  // A port that hung up is closed as on a removal notice, and opened again once it can be;
  // an update flow keeps its own link.
  switch (UpdateFlow ? tCardSession::lc_None : Session.KeepLink(std::chrono::steady_clock::now())) {
    case tCardSession::lc_HungUp:
      EnableButtons();
      break;
    case tCardSession::lc_Reopened:
      TakeLinkSettings();
      EnableButtons();
      FillComPortsList();
      break;
    case tCardSession::lc_None:
      break;
  }
  // A port whose notice never came is found by reading the list again every few seconds.
  for (const tDeviceChange& Change : PortRescan.Due(std::chrono::steady_clock::now())) {
    // Said, so that a machine whose notices do not come shows it.
    DisplayMessage(Change.PortName +
                   (Change.Kind == tDeviceChange::dc_Arrival ? " found" : " gone") +
                   " by the re-scan of the port list");
    wmDeviceChange(Change.Kind == tDeviceChange::dc_Arrival, Change.PortName);
  }
  if (CaddisHost) {
    CaddisHost->ServiceAYT();
    CardPresent = CaddisHost->DeviceID != 0;
    if (RepeatEchoCheckBox->isChecked()) SendEcho();
  }
  ++RefreshCount;
  if (RefreshCount <= 100) return;
  Refresh();
  if (CardPresent && DFUFormOpen()) {
    CloseDFUForm();
    return;
  }
  if (DFURequested) StartDFU();
}

void TCaddisForm::Refresh() {
  // Runs every 10 ms: a field is written only when its value has changed, so an idle window
  // neither formats texts nor repaints anything.
  tShownValues Now;
  Now.Identified = CaddisHost && CaddisHost->DeviceID != 0;
  if (Now.Identified) {
    Now.DeviceID = CaddisHost->DeviceID;
    Now.FirmwareVersion = CaddisHost->FirmwareVersion;
    Now.FPGAVersion = CaddisHost->FPGAVersion;
    Now.Temperature = CaddisHost->Temperature;
    for (size_t i = 0; i < Now.Voltages.size(); ++i)
      Now.Voltages[i] = CaddisHost->Voltages[i];
  }
  if (Shown && Now == *Shown) return;
  Shown = Now;
  if (!Now.Identified) {
    for (QLabel* L : {IDLabel, VersionLabel, FPGALabel, TemperatureLabel, Voltage5Label,
                      Voltage7Label, Voltage15Label})
      L->clear();
    return;
  }
  IDLabel->setText(QString::number(Now.DeviceID));
  VersionLabel->setText(QString::number(Now.FirmwareVersion));
  FPGALabel->setText(QString::fromLatin1(Now.FPGAVersion));
  TemperatureLabel->setText(QString::number(Now.Temperature));
  const QString Separator = QLocale().decimalPoint();
  const char Decimal = Separator.size() == 1 ? Separator[0].toLatin1() : '.';
  Voltage5Label->setText(QString::fromLatin1(VoltageText(Now.Voltages[0], Decimal)));
  Voltage7Label->setText(QString::fromLatin1(VoltageText(Now.Voltages[1], Decimal)));
  Voltage15Label->setText(QString::fromLatin1(VoltageText(Now.Voltages[2], Decimal)));
}

// ---- Commands ------------------------------------------------------------------------

void TCaddisForm::SendHex() {
  if (!CaddisHost) return;
  const std::vector<uint8_t> Message = HexMessage(To8Bit(SendMessageEdit->text()));
  if (Message.empty()) return;
  CaddisHost->SendMessage(tHostFrame::MakeMessage(Message));
}

void TCaddisForm::SendEcho() {
  if (!CaddisHost) return;
  const std::string Text = To8Bit(EchoTextEdit->text());
  CaddisHost->SendData(tHostId::Echo, Text.data(), static_cast<uint8_t>(Text.size()));
}

void TCaddisForm::ResetTiva() {
  if (!CaddisHost) return;
  Session.Restart();
  EnableButtons();
  ReopenComPort();
}

void TCaddisForm::UpdateFileProgressEvent(float Amount, tTivaUpdateError Error) {
  if (Error != tu_Ack) {
    UpdatePanel->hide();
    return;
  }
  ProgressBar->setValue(ProgressPercent(Amount));
  if (UpdatePanel->isHidden()) {
    UpdatePanel->show();
    UpdatePanel->raise();
  }
}

void TCaddisForm::UpdateFileEnded() {
  UpdatePanel->hide();
}

void TCaddisForm::UpdateFPGA() {
  UpdatingName = "FPGA";
  UpdatingLabel->setText(QString::fromLatin1("Please wait - updating " + UpdatingName));
  if (!CaddisHost || UpdateFlow) return;
  tImageUpdateRequest Update;
  Update.Kind = ik_FPGA;
  Update.What = "FPGA";
  Update.OpenLink = false;
  Update.ImageFolder = ImageFolder;
  Update.Record = {"caddis-updater", {}};
  Update.StoppedDuringTransfer = "the window was closed during the update";
  if (std::string Why; Release && !TakeReleaseImage(*Release, Update, Why)) {
    DisplayMessage(Why);
    return;
  }
  Report.Accepted = false;
  UpdateFlow = std::make_unique<tFlow>(ImageUpdateFlow(Session, Report, Update));
  StepFlows();
}

void TCaddisForm::StepFlows() {
  if (RecordFlow && RecordFlow->Step()) RecordFlow.reset();
  if (UpdateFlow && UpdateFlow->Step()) UpdateFlowEnded();
}

void TCaddisForm::UpdateFlowEnded() {
  const tFlowOutcome Outcome = UpdateFlow->Outcome();
  UpdateFlow.reset();
  UpdatePanel->hide();
  if (!Outcome.Ok && Report.Accepted && !Outcome.Text.empty()) DisplayMessage(Outcome.Text);
  // A flow that ended without the card (it stayed, or did not come back in time) leaves the
  // port to the window, which opens it again as after a removal.
  if (!CaddisHost) ReopenComPort();
  TakeLinkSettings();
  EnableButtons();
  if (const int32_t i = ComPortIndex(ComPort); CaddisHost && i >= 0) {
    FillingList = true;
    ComPortComboBox->setCurrentIndex(i);
    FillingList = false;
  }
}

void TCaddisForm::StopFlow(std::unique_ptr<tFlow>& Flow) {
  if (!Flow) return;
  Flow->Stop();
  // A stopped flow's waits end at once; only work that must not be cut short still runs.
  while (!Flow->Step())
    tUIThread::WaitAndServe(std::chrono::milliseconds(10));
  Flow.reset();
}

void TCaddisForm::tWindowReport::Line(const std::string& Text) {
  DisplayMessage(Text);
}

void TCaddisForm::tWindowReport::ImageAccepted(const std::string& What) {
  Accepted = true;
  tFlowReport::ImageAccepted(What);
}

void TCaddisForm::tWindowReport::Progress(const std::string&, const std::string&, float Fraction) {
  fForm.UpdateFileProgressEvent(Fraction, tu_Ack);
}

void TCaddisForm::tWindowReport::ProgressEnd() {
  fForm.UpdateFileEnded();
}

// ---- Service record ------------------------------------------------------------------

void TCaddisForm::BeginRecord(const std::string& Action, const std::string& ImagePath) {
  // An earlier update still waiting for the card is recorded as it stands, not lost.
  StopFlow(RecordFlow);
  Record.Begin(Session, Action, ImagePath);
}

void TCaddisForm::RecordFinished(tServiceResult Result, const std::string& Failure,
                                 bool AwaitReturn) {
  if (!Record.Running()) return;
  const tFlowOutcome Outcome = Result == sr_Succeeded ? tFlowOutcome::Success()
                               : Result == sr_Interrupted
                                   ? tFlowOutcome::Interrupted(Failure)
                                   : tFlowOutcome::Failed(fk_Failure, Failure);
  StopFlow(RecordFlow);
  if (!AwaitReturn) return FinishRecord(Record, Session, Report, Outcome);
  RecordFlow = std::make_unique<tFlow>(
      RecordOnReturnFlow(Session, Report, Record, Outcome, RecordReturnLimit));
  StepFlows();
}

// ---- End of the session ----------------------------------------------------------------

void TCaddisForm::WatchSessionEnd() {
  // Runs on the watch's thread; the program is ended once it returns, so it waits (a while at
  // most) for the window's thread to record the update and close the port.
  SessionEndWatch = std::make_unique<tSessionEndWatch>([this, Closing = Closing] {
    tShutdown::SessionEnding();
    auto Done = std::make_shared<std::atomic<bool>>(false);
    QMetaObject::invokeMethod(
        this,
        [this, Done] {
          EndOfSession();
          *Done = true;
        },
        Qt::QueuedConnection);
    for (int i = 0; i < 500 && !*Done && !*Closing; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  });
  tSessionEndWatch* Watch = SessionEndWatch.get();
  tShutdown::SetHold([Watch](const std::string& Reason) { Watch->Hold(Reason); });
}

void TCaddisForm::EndOfSession() {
  // As when the window closes: an image still being sent is recorded as interrupted (by the
  // shutdown), an update waiting for the card as it stands.
  StopFlow(UpdateFlow);
  StopFlow(RecordFlow);
  CloseComPort();
}

// ---- Device changes ------------------------------------------------------------------

void TCaddisForm::WatchDevices() {
  // Kernel devices are named by the number the port list gives them.
  DeviceNotifier = std::make_unique<tDeviceNotifier>(tPaths::PortFolder(),
                                                     tPortCatalogue::PortNameOfKernelDevice);
  // A change the rescan has told already is not acted on twice.
  auto ReadChanges = [this] {
    for (const auto& Change : DeviceNotifier->ReadChanges())
      if (PortRescan.Noted(Change))
        wmDeviceChange(Change.Kind == tDeviceChange::dc_Arrival, Change.PortName);
  };
  PortRescan.Start(std::chrono::steady_clock::now());
  // Notices come through descriptors (Linux) or from the notifier's own thread (Windows).
  for (int Fd : DeviceNotifier->FileDescriptors()) {
    auto* Socket = new QSocketNotifier(Fd, QSocketNotifier::Read, this);
    connect(Socket, &QSocketNotifier::activated, this, ReadChanges);
    DeviceSockets.push_back(Socket);
  }
  DeviceNotifier->SetOnPending(
      [this, ReadChanges] { QMetaObject::invokeMethod(this, ReadChanges, Qt::QueuedConnection); });
}

void TCaddisForm::wmDeviceChange(bool Arrival, const std::string& PortName) {
  const std::string Name = PortName.substr(0, 32);
  // An update flow follows its card's port itself.
  if (Arrival) {
    DisplayMessage("DeviceArrival " + Name);
    FillComPortsList();
    if (!UpdateFlow) ReopenComPort();
    return;
  }
  DisplayMessage("DeviceRemoval " + Name);
  if (ComPort >= 0 && PortNumberFromName(Name) == ComPort && CaddisHost && !UpdateFlow)
    CloseComPort();
  FillComPortsList();
}
