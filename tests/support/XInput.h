#pragma once

#include <QGuiApplication>
#include <QPoint>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QWidget>

// Input through the X server itself (XTEST, by xdotool), for tests that run on an Xvfb display
// of their own: the server decides which window and the window system which widget gets it.
namespace xinput {

// Why a test must be skipped here, or empty when it can run.
inline QString Unavailable() {
  if (QGuiApplication::platformName() != QLatin1String("xcb")) return QStringLiteral("needs an X display");
  if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty()) return QStringLiteral("needs xdotool");
  return {};
}

inline bool Xdotool(const QStringList& args) {
  QProcess p;
  p.start(QStringLiteral("xdotool"), args);
  return p.waitForFinished(5000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// A left click at a point of the widget, as the pointer would give it.
inline bool ClickAt(const QWidget* widget, QPoint local) {
  const QPoint at = widget->mapToGlobal(local);
  return Xdotool({QStringLiteral("mousemove"), QStringLiteral("--sync"), QString::number(at.x()),
                  QString::number(at.y()), QStringLiteral("click"), QStringLiteral("1")});
}
inline bool Click(const QWidget* widget) { return ClickAt(widget, widget->rect().center()); }
// The pointer moved to a point of the widget and left there.
inline bool MoveTo(const QWidget* widget, QPoint local) {
  const QPoint at = widget->mapToGlobal(local);
  return Xdotool({QStringLiteral("mousemove"), QStringLiteral("--sync"), QString::number(at.x()),
                  QString::number(at.y())});
}

// Types text on the keyboard (ASCII), and presses keys by their X names ("Return", "Tab").
inline bool Type(const QString& text) {
  return Xdotool({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("5"), text});
}
inline bool Key(const QString& name) { return Xdotool({QStringLiteral("key"), name}); }

// The clipboard as another program on the display pastes it (xclip asks the X server, which
// asks the owner): the event loop runs meanwhile, so this program can answer as the owner.
inline QString PastedText() {
  QProcess p;
  p.start(QStringLiteral("xclip"),
          {QStringLiteral("-o"), QStringLiteral("-selection"), QStringLiteral("clipboard")});
  if (!p.waitForStarted(5000) || !QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, 5000))
    return {};
  return p.exitCode() == 0 ? QString::fromUtf8(p.readAllStandardOutput()) : QString();
}

}  // namespace xinput
