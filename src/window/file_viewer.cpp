#include "window/file_viewer.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QFileInfo>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

namespace quillmere {

void showInFileManager(const QString& folder, QObject* context) {
  const QUrl parent = QUrl::fromLocalFile(QFileInfo(folder).absolutePath());
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    QDesktopServices::openUrl(parent);
    return;
  }
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.FileManager1"),
      QStringLiteral("/org/freedesktop/FileManager1"),
      QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
  call << QStringList{QUrl::fromLocalFile(folder).toString()} << QString();
  // Asynchronous: starting a file manager can take a while, and the window stays responsive.
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), context);
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context, [watcher, parent] {
    if (watcher->isError()) QDesktopServices::openUrl(parent);
    watcher->deleteLater();
  });
}

}  // namespace quillmere
