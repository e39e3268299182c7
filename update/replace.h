// The Replace procedure: restores and checks the package's new files beside the installed ones
// first, then swaps them in by renames, the old ones kept as backups.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "locate/locator.h"
#include "platform/platform.h"
#include "update/restore.h"

namespace kv {

std::wstring SuccessMessage();
std::wstring FailureMessage();

// The packed name of a file: its name with the last character replaced by "_".
std::wstring PackedName(const std::wstring& name);

// One of the two files the update replaces.
struct UpdatedFile {
    std::wstring installed; // ExePath or HelpPath
    std::wstring backup;    // installed + ".backup": the version from before the update
    std::wstring partial;   // installed + ".new": the new file until it is renamed into place
    std::wstring packed;    // as the package ships it
    std::wstring stale;     // a restored copy that older updaters left in the package folder
    RestoredFile restored;  // the new file, held open from its restore to its rename
    std::unique_ptr<InstalledFile> old; // the installed file, held for moving; null: not installed
    bool upToDate = false;              // the installed file already is the new one
    bool movedAside = false, placed = false;
};

// One press of Replace, as it goes.
struct UpdateRun {
    Platform& platform;
    UpdatedFile exe, help;
    std::wstring installFolder;
    std::string sums; // the packed files' sums built into the updater; empty: unchecked
    // Names this run deleted: one that another program still holds stays "delete pending" a moment.
    std::vector<std::wstring> deleted;
};

UpdateRun StartRun(Platform& platform, const Installation& installation,
                   const std::wstring& packageFolder);

// What the failure of a step means.
enum UpdateStage {
    // The step was a tidy-up that may fail (no stale copy to delete); the run goes on.
    kTidyUp = 2,
    // The new files are being made or swapped in; the run stops with the failure message, and
    // the renames already done are undone in reverse order, so that the installation is all old.
    kUpdate = 3,
};

struct UpdateStep {
    UpdateStage stage;
    const char* name;
    FileError (*run)(UpdateRun& run);
    FileError (*undo)(UpdateRun& run) = nullptr;
};

// The file steps, in the order they run: both new files are written and checked beside the
// installed ones, and both installed files are held, before any installed name moves; then the
// swap is renames only.
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
