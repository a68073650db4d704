#include "app/backup.h"

bool MakeBackup(Disk& disk, const std::string& rulesPath, const std::string& backupPath,
                std::string_view rulesContents, std::string* error) {
  // Copying from the bytes already read, rather than from the file, makes the
  // backup match the text the edits start from, and costs no second read.
  std::string reason;
  if (disk.WriteFile(backupPath, rulesContents, &reason)) {
    return true;
  }
  *error = BackupError(rulesPath, backupPath, reason);
  return false;
}

std::string BackupError(const std::string& rulesPath, const std::string& backupPath,
                        const std::string& reason) {
  return "error: cannot back up " + rulesPath + " to " + backupPath + ": " + reason + "\n";
}
