// The Replace procedure: moves the installed executable and help file aside, restores the new
// ones from the package's packed copies and installs them.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "locate/locator.h"
#include "platform/platform.h"

namespace kv {

std::wstring SuccessMessage();
std::wstring FailureMessage();

// The names the procedure works with, formed from the installation and the package folder.
struct UpdateFiles {
    std::wstring exePath, helpPath;     // installed
    std::wstring exeBackup, helpBackup; // installed + ".backup"
    std::wstring stagedExe, stagedHelp; // restored copies in the package folder
    std::wstring packedExe, packedHelp; // as the package ships them
};

// The packed name of a file: its name with the last character replaced by "_".
std::wstring PackedName(const std::wstring& name);

UpdateFiles FormUpdateFiles(const Installation& installation, const std::wstring& packageFolder);

// UpdateStage: what the failure of a step means.
//   1, 2: the step was a tidy-up that may fail (no old backup, no help file); the run goes on.
//   3: the new files are being put in place; the run stops with the failure message.
// A step that keeps the old version safe (moving an installed file aside) stops the run whatever
// its stage: going on would overwrite a file that has no backup.
struct UpdateStep {
    int stage;
    bool keepsOldVersion;
    const char* name;
    std::function<FileError(Platform&, const UpdateFiles&)> run;
};

// The file steps, in the order they run.
const std::vector<UpdateStep>& UpdateSteps();

// How long a step that meets a brief lock (a virus scanner, an indexer or a backup tool holding a
// freshly written or renamed file) is tried again before its failure counts.
inline constexpr std::uint32_t kLockRetryMilliseconds = 2000;
inline constexpr std::uint32_t kLockRetryPauseMilliseconds = 50;

enum class ReplaceOutcome { Updated, Refused, Failed };

// One press of Replace: moves the installed files aside and installs the package's new ones.
// Shows exactly one message: success, refusal or failure.
ReplaceOutcome UpdateInstallation(Platform& platform, const Installation& installation);

} // namespace kv
