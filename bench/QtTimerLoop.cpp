// An empty 10 ms Qt timer loop with the same kind of application and timer as the window:
// the floor against which bench/measure_window.sh sets the window's idle CPU.
#include <QApplication>
#include <QTimer>

int main(int argc, char** argv) {
  QApplication Application(argc, argv);
  QTimer Timer;
  Timer.setTimerType(Qt::PreciseTimer);
  Timer.setInterval(10);
  QObject::connect(&Timer, &QTimer::timeout, [] {});
  Timer.start();
  return Application.exec();
}
