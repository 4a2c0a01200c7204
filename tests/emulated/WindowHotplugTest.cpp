// The window when the USB serial adapter of its open port is unplugged and plugged again in
// the emulated kernel: the libudev monitor's notices reach wmDeviceChange, which holds the
// port, refreshes the list and reopens the port when the adapter is back.
#include <gtest/gtest.h>

#include <QApplication>
#include <chrono>
#include <cstdlib>

#include "app/CaddisUnit.h"
#include "app/QtTestEnvironment.h"
#include "emulated/EmulatedTestbed.h"
#include "emulated/UsbSerialAdapter.h"
#include "platform/PortCatalogue.h"

namespace {

testing::Environment* const Env = testing::AddGlobalTestEnvironment(new tQtTestEnvironment);

// Lets the window handle its notices until Done() or 5 s have passed.
template <typename tDone>
bool ProcessEventsUntil(tDone Done) {
  const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!Done() && std::chrono::steady_clock::now() < Until)
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  return Done();
}

TEST(WindowHotplug, UnpluggedAdapterIsHeldAndReopenedWhenItComesBack) {
  ASSERT_TRUE(emulated::Active()) << "run under umockdev-wrapper";
  // The kernel's devices are the emulated ones, not a fake tree.
  unsetenv("CADDIS_SYSFS_ROOT");
  unsetenv("CADDIS_DEV_ROOT");
  emulated::tUsbSerialAdapter Adapter("ttyUSB2", "1-4");
  std::string Error;
  ASSERT_TRUE(Adapter.Plug(&Error)) << Error;
  const int32_t Number = tPortCatalogue::PortNumberOf("ttyUSB2");
  ASSERT_GT(Number, 0);
  const std::string Port = "COM" + std::to_string(Number);

  TCaddisForm Form(false);
  Form.QFTimer->stop();
  Form.FillComPortsList();
  Form.ComPortComboBox->setCurrentIndex(Form.ComPortIndex(Number));
  Form.ComPortComboBoxChange();
  ASSERT_NE(Form.CaddisHost, nullptr);

  Adapter.Unplug();
  ASSERT_TRUE(ProcessEventsUntil([&] { return Form.CaddisHost == nullptr; }));
  EXPECT_EQ(Form.ComPort, Number);  // held for its return
  EXPECT_EQ(Form.ComPortComboBox->currentText(), "<none>");

  // Back under another kernel name, it keeps its number by its by-id name.
  Adapter.Rename("ttyUSB3");
  ASSERT_TRUE(Adapter.Plug(&Error)) << Error;
  ASSERT_TRUE(ProcessEventsUntil([&] { return Form.CaddisHost != nullptr; }));
  EXPECT_EQ(Form.ComPortComboBox->currentText().toStdString(), std::to_string(Number) + " ttyUSB3");
  const QString Memo = Form.MessageMemo->toPlainText();
  EXPECT_TRUE(Memo.contains(QString::fromStdString("DeviceRemoval " + Port))) << Memo.toStdString();
  EXPECT_TRUE(Memo.contains(QString::fromStdString("DeviceArrival " + Port))) << Memo.toStdString();
}

}  // namespace
