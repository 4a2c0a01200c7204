// Every text the window and the update dialog can show is readable whole at the controls'
// fixed sizes, measured with the font the window really gets. CTest runs this twice: with
// Tahoma from fonts-wine where it is installed, and with the desktop's fallback font.
#include <gtest/gtest.h>

#include <QFile>
#include <QFontInfo>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionButton>

#include "app/CaddisUnit.h"
#include "app/QtTestEnvironment.h"
#include "app/WindowFont.h"
#include "dfu/DFUunit.h"

namespace {

testing::Environment* const Env = testing::AddGlobalTestEnvironment(new tQtTestEnvironment);

// Why Text would not be shown whole in W; empty when it is.
std::string Cut(QWidget* W, const QString& Text) {
  const QFontMetrics Metrics(W->font());
  QRect Room;
  QRect Needed;
  if (auto* Label = qobject_cast<QLabel*>(W)) {
    Room = Label->contentsRect();
    const int Flags = int(Label->alignment()) | (Label->wordWrap() ? Qt::TextWordWrap : 0);
    Needed = Metrics.boundingRect(Room, Flags, Text);
  } else if (auto* Button = qobject_cast<QPushButton*>(W)) {
    QStyleOptionButton Option;
    Option.initFrom(Button);
    Option.text = Text;
    Room = Button->style()->subElementRect(QStyle::SE_PushButtonContents, &Option, Button);
    Needed = QRect(0, 0, Metrics.horizontalAdvance(Text), Metrics.height());
  }
  if (Needed.width() <= Room.width() && Needed.height() <= Room.height()) return "";
  return "\"" + Text.toStdString() + "\" needs " + std::to_string(Needed.width()) + "x" +
         std::to_string(Needed.height()) + ", has " + std::to_string(Room.width()) + "x" +
         std::to_string(Room.height()) + " in " + QFontInfo(W->font()).family().toStdString();
}

void ExpectWhole(QWidget* W, const QStringList& Texts) {
  // The window's family reaches every control, the dialog's among them.
  EXPECT_EQ(QFontInfo(W->font()).family(), QFontInfo(WindowFont()).family());
  for (const QString& Text : Texts)
    EXPECT_EQ(Cut(W, Text), "");
}

// The texts every label and button shows as built, and that two controls side by side in one
// panel never overlap (the shadowed titles are made of two overlapping copies on purpose).
void ExpectStaticTextsWholeAndApart(QWidget* Top) {
  const auto Children = Top->findChildren<QWidget*>();
  for (QWidget* W : Children) {
    if (!W->isVisibleTo(Top)) continue;
    if (auto* Label = qobject_cast<QLabel*>(W)) ExpectWhole(W, {Label->text()});
    if (auto* Button = qobject_cast<QPushButton*>(W)) ExpectWhole(W, {Button->text()});
    for (QWidget* Other : Children) {
      if (Other == W || Other->parentWidget() != W->parentWidget() || !Other->isVisibleTo(Top))
        continue;
      auto* A = qobject_cast<QLabel*>(W);
      auto* B = qobject_cast<QLabel*>(Other);
      if (A && B && A->text() == B->text()) continue;
      EXPECT_FALSE(W->geometry().intersects(Other->geometry()))
          << W->metaObject()->className() << " \"" << (A ? A->text().toStdString() : "")
          << "\" overlaps " << Other->metaObject()->className() << " \""
          << (B ? B->text().toStdString() : "") << "\"";
    }
  }
}

TEST(CaddisFont, TahomaIsUsedWhereItIsInstalled) {
  TCaddisForm Form(true);
  const QString Family = QFontInfo(Form.DFUButton->font()).family();
  if (QFile::exists(TahomaFolder() + "/tahoma.ttf"))
    EXPECT_EQ(Family, "Tahoma");
  else
    EXPECT_NE(Family, "Tahoma");
  std::cout << "window font: " << Family.toStdString() << "\n";
}

TEST(CaddisFont, WindowTextsAreShownWhole) {
  TCaddisForm Form(true);
  Form.QFTimer->stop();
  ExpectStaticTextsWholeAndApart(&Form);
  // The widest values the card can report: identity, versions, temperature, supply voltages
  // (tenths of a volt in one byte) and the FPGA version of ten characters.
  for (QLabel* L : {Form.IDLabel, Form.VersionLabel, Form.TemperatureLabel})
    ExpectWhole(L, {"255", "188"});
  for (QLabel* L : {Form.Voltage5Label, Form.Voltage7Label, Form.Voltage15Label})
    ExpectWhole(L, {"25.5", "25,5", "18.8"});
  ExpectWhole(Form.FPGALabel, {"0104052026", "8888888888"});
  ExpectWhole(Form.UpdatingLabel, {"Please wait - updating FPGA"});
}

// Every letter of the window's small print leaves ink where the platform draws it: at 9 pixels
// Tahoma's stems are thinner than a pixel, and drawn without smoothing whole strokes vanish
// (an "l" leaves nothing).
TEST(CaddisFont, SmallPrintKeepsEveryStroke) {
  TCaddisForm Form(true);
  Form.QFTimer->stop();
  QLabel* Small = nullptr;
  for (QLabel* L : Form.findChildren<QLabel*>())
    if (L->text() == "omit length & checksum") Small = L;
  ASSERT_NE(Small, nullptr);
  for (const QChar Letter : Small->text()) {
    if (Letter.isSpace()) continue;
    QImage Image(24, 24, QImage::Format_RGB32);
    Image.fill(Qt::white);
    QPainter Painter(&Image);
    Painter.setFont(Small->font());
    Painter.setPen(Qt::black);
    Painter.drawText(6, 16, QString(Letter));
    Painter.end();
    double Ink = 0;  // in whole pixels' worth of black
    for (int y = 0; y < Image.height(); ++y)
      for (int x = 0; x < Image.width(); ++x)
        Ink += (255 - qGray(Image.pixel(x, y))) / 255.0;
    EXPECT_GE(Ink, 3.0) << "\"" << QString(Letter).toStdString() << "\" in "
                        << QFontInfo(Small->font()).family().toStdString();
  }
}

TEST(CaddisFont, DialogTextsAreShownWhole) {
  TCaddisForm Form(true);
  Form.QFTimer->stop();
  Form.show();
  Form.StartDFU();
  ASSERT_NE(DFUForm, nullptr);
  TDFUForm& Dialog = *DFUForm;
  Dialog.Timer->stop();
  ExpectStaticTextsWholeAndApart(&Dialog);
  ExpectWhole(Dialog.CancelButton, {"Cancel", "Close"});
  QStringList Status = {"DFU library not initialised",
                        "No USB DFU devices found",
                        "More than one device found",
                        "File SkerryTiva.dfu not found in local folder",
                        "SkerryTiva.dfu in local folder is not a file",
                        "File SkerryTiva.dfu is not compatible with this device",
                        "Please confirm you want to update this device",
                        "USB access refused: install the udev rule 99-caddis-dfu.rules",
                        "Open error -128",
                        "Download error -128",
                        "Device updated successfully"};
  for (const char* Phase :
       {"Please wait - downloading firmware", "Please wait - verifying firmware",
        "Please wait - reading firmware", "Please wait - erasing flash"})
    for (const char* End : {"", " - completed", " - error"})
      Status << QString(Phase) + End;
  ExpectWhole(Dialog.MessageLabel, Status);

  // Four lines of one device fit without scrolling, none of them cut.
  QPlainTextEdit* Memo = Dialog.DetailsMemo;
  const QStringList Lines = {"Device found:   Vendor ID: 0x1CBE",
                             "Device Name:   Caddis card DFU boot loader", "Manufacturer:  Caddis",
                             "Serial Number:  SIM00001"};
  for (const QString& Line : Lines)
    Memo->appendPlainText(Line);
  QApplication::processEvents();
  EXPECT_EQ(Memo->verticalScrollBar()->maximum(), 0);
  const QFontMetrics Metrics(Memo->font());
  for (const QString& Line : Lines)
    EXPECT_LE(Metrics.horizontalAdvance(Line), Memo->viewport()->width()) << Line.toStdString();
  Form.CloseDFUForm();
}

}  // namespace
