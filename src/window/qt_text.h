#pragma once

#include <QFile>
#include <QString>
#include <string>
#include <string_view>

namespace quillmere {

// The system's texts and paths are UTF-8 bytes; Qt's are QStrings. File-system paths go through
// QFile's encoding so that a name Qt got from the file system comes back as the same bytes.
inline QString qText(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
inline std::string filePath(const QString& path) { return QFile::encodeName(path).toStdString(); }
inline QString qPath(const std::string& path) {
  return QFile::decodeName(QByteArray(path.data(), static_cast<qsizetype>(path.size())));
}

}  // namespace quillmere
