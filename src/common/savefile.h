#pragma once

class QSaveFile;

// Commits a save file only once every byte written to it has reached the file
// system; on false the save file is left uncommitted and the old file stands.
[[nodiscard]] bool commitSaveFile(QSaveFile &file);
