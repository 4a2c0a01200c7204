#include "app/WindowFont.h"

#include <QApplication>
#include <QFontDatabase>
#include <QStandardPaths>

QString TahomaFolder() {
  const QString Override = qEnvironmentVariable("CADDIS_FONT_DIR");
  if (!Override.isEmpty()) return Override;
#ifdef Q_OS_WIN
  return QStandardPaths::writableLocation(QStandardPaths::FontsLocation);
#else
  return QStringLiteral("/usr/share/wine/fonts");
#endif
}

bool RegisterTahoma() {
  static const bool Registered = [] {
    bool Any = false;
    for (const char* File : {"tahoma.ttf", "tahomabd.ttf"})
      Any = QFontDatabase::addApplicationFont(TahomaFolder() + '/' + File) >= 0 || Any;
    return Any;
  }();
  return Registered;
}

QFont WindowFont(int PixelSize) {
  RegisterTahoma();
  QFont Font(QStringLiteral("Tahoma"));
  Font.setStyleHint(QFont::SansSerif);
  Font.setPixelSize(PixelSize);
  return Font;
}

void UseWindowFont() {
  QApplication::setFont(WindowFont());
}
