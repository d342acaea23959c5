#pragma once

class QObject;
class QString;

namespace quillmere {

// Asks the desktop's file manager to show `folder` selected in its parent, over D-Bus
// (org.freedesktop.FileManager1.ShowItems). Where no file manager answers, the parent folder is
// opened with the desktop's default handler instead. Returns at once; the answer is handled on
// `context`'s thread and dropped if `context` is gone by then.
void showInFileManager(const QString& folder, QObject* context);

}  // namespace quillmere
