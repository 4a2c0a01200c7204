// The platform plugin a GUI test program runs on, chosen before its QApplication is made:
// offscreen, unless CADDIS_TEST_QPA names another ("windows" under Wine, "xcb" to watch the
// tests on Linux) or, on Linux, QT_QPA_PLATFORM already does. Wine hands no variable whose
// name starts with QT_ to a Windows program, so the choice is made here, in the program.
//
// A test program whose platform plugin cannot be had ends at once, naming it: on Windows Qt
// would otherwise show a message box and wait for someone to close it, and the test would sit
// out its whole time limit. Qt's messages go to standard error, where the test's output is
// kept (without a console, Qt on Windows sends them to the debugger channel, where no one
// reads them), and a fatal one ends the program at once.
#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QPluginLoader>
#include <QString>
#include <QStringList>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/Environment.h"

namespace tQtTestPlatform {

// The platform plugins linked into this program (a static Qt); empty with a shared Qt, which
// looks for them in its plugin folder when the application is made.
inline QStringList LinkedPlatforms() {
  QStringList Keys;
  for (const QStaticPlugin& Plugin : QPluginLoader::staticPlugins()) {
    const QJsonObject Meta = Plugin.metaData();
    if (!Meta.value(QStringLiteral("IID")).toString().contains(QStringLiteral("QPA"))) continue;
    for (const QJsonValue Key :
         Meta.value(QStringLiteral("MetaData")).toObject().value(QStringLiteral("Keys")).toArray())
      Keys << Key.toString();
  }
  return Keys;
}

inline void Message(QtMsgType Type, const QMessageLogContext&, const QString& Text) {
  std::fprintf(stderr, "%s\n", Text.toLocal8Bit().constData());
  std::fflush(stderr);
  if (Type == QtFatalMsg) std::_Exit(3);
}

// Picks the platform (see above); ends the program when it is not linked in. Returns its name.
inline std::string Choose() {
  qInstallMessageHandler(Message);
  std::string Name = tEnvironment::Get("CADDIS_TEST_QPA").value_or("");
  if (Name.empty()) Name = tEnvironment::Get("QT_QPA_PLATFORM").value_or("offscreen");
  tEnvironment::Set("QT_QPA_PLATFORM", Name);
  const QStringList Linked = LinkedPlatforms();
  const QString Wanted = QString::fromStdString(Name).section(':', 0, 0);
  if (!Linked.isEmpty() && !Linked.contains(Wanted)) {
    std::fprintf(stderr, "no platform plugin \"%s\" in this test program (it has: %s)\n",
                 Name.c_str(), Linked.join(QStringLiteral(", ")).toLocal8Bit().constData());
    std::fflush(stderr);
    std::_Exit(3);
  }
  return Name;
}

}  // namespace tQtTestPlatform
