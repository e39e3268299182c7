// The Replace procedure: restores and checks the package's new files first, then moves the
// installed executable and help file aside and puts the new ones in their place.
#pragma once

#include <string>
#include <vector>

#include "locate/locator.h"
#include "platform/platform.h"

namespace kv {

std::wstring SuccessMessage();
std::wstring FailureMessage();

// The packed name of a file: its name with the last character replaced by "_".
std::wstring PackedName(const std::wstring& name);

// One of the two files the update replaces.
struct UpdatedFile {
    std::wstring installed;    // ExePath or HelpPath
    std::wstring backup;       // installed + ".backup": the version from before the update
    std::wstring partial;      // installed + ".new": the new file while it is being written
    std::wstring packed;       // as the package ships it
    std::wstring staged;       // restored from the packed copy, in the package or a private folder
    Sha256Digest newContent{}; // of the restored file
    bool upToDate = false;     // the installed file already is the new one
};

// One press of Replace, as it goes.
struct UpdateRun {
    Platform& platform;
    UpdatedFile exe, help;
    std::string sums;           // the packed files' sums built into the updater; empty: unchecked
    std::wstring privateFolder; // the staged copies' folder when the package's refuses them
    // Names this run deleted: one that another program still holds stays "delete pending" a moment.
    std::vector<std::wstring> deleted;
};

UpdateRun StartRun(Platform& platform, const Installation& installation,
                   const std::wstring& packageFolder);

// UpdateStage: what the failure of a step means.
//   1, 2: the step was a tidy-up that may fail (no old backup, no help file); the run goes on.
//   3: the new files are being made or put in place; the run stops with the failure message.
// A step that keeps the old version safe (moving an installed file aside) stops the run whatever
// its stage: going on would replace a file that has no backup.
struct UpdateStep {
    int stage;
    bool keepsOldVersion;
    const char* name;
    FileError (*run)(UpdateRun& run);
};

// The file steps, in the order they run: nothing in the installation changes until both new files
// are restored and checked; then each file in turn is moved aside and replaced, so that at most one
// installed name is ever without its file, and only for a moment.
const std::vector<UpdateStep>& UpdateSteps();

// How long a step that meets a brief lock (a virus scanner, an indexer or a backup tool holding a
// freshly written or renamed file) is tried again before its failure counts.
inline constexpr std::uint32_t kLockRetryMilliseconds = 2000;
inline constexpr std::uint32_t kLockRetryPauseMilliseconds = 50;

enum class ReplaceOutcome { Updated, Refused, Failed };

// One press of Replace. Shows exactly one message: success, refusal or failure. Whatever the
// outcome, each installed file's previous version is in place or in its backup.
ReplaceOutcome UpdateInstallation(Platform& platform, const Installation& installation);

} // namespace kv
