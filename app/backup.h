#ifndef AUTOEXP_APP_BACKUP_H_
#define AUTOEXP_APP_BACKUP_H_

#include <string>
#include <string_view>

#include "platform/disk.h"

// Saves |rulesContents|, the rules file exactly as this run read it, as the
// backup at |backupPath|. The copy is complete on disk before it takes the
// place of an older backup, so a copy that fails leaves the older one whole.
// Returns false with the error trace text in |*error|.
bool MakeBackup(Disk& disk, const std::string& rulesPath, const std::string& backupPath,
                std::string_view rulesContents, std::string* error);

// The error trace text for a backup that could not be made, for |reason|.
std::string BackupError(const std::string& rulesPath, const std::string& backupPath,
                        const std::string& reason);

#endif  // AUTOEXP_APP_BACKUP_H_
