#pragma once

class QByteArray;
class QString;

// Replaces a file's content as a whole, through a save file that is committed
// only once every byte has reached the file system; on false the former
// content stands.
[[nodiscard]] bool replaceFileContent(const QString &path, const QByteArray &content);
