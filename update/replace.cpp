#include "update/replace.h"

#include <exception>

#include "platform/product.h"
#include "update/edition_guard.h"
#include "update/restore.h"

namespace kv {

std::wstring SuccessMessage()
{
    return L"Old Version was successfully updated!";
}

std::wstring FailureMessage()
{
    return std::wstring(L"Error! Problems were encountered during the upgrade. Deinstall the old "
                        L"Korvane version and do a new installation of the current version, "
                        L"which is available at ") +
           kWebAddress;
}

std::wstring PackedName(const std::wstring& name)
{
    return name.empty() ? name : name.substr(0, name.size() - 1) + L'_';
}

UpdateFiles FormUpdateFiles(const Installation& installation, const std::wstring& packageFolder)
{
    std::wstring base = packageFolder;
    if (base.empty() || base.back() != L'\\')
        base += L'\\';
    UpdateFiles files;
    files.exePath = installation.exePath;
    files.helpPath = installation.helpPath;
    files.exeBackup = installation.exePath + L".backup";
    files.helpBackup = installation.helpPath + L".backup";
    files.stagedExe = base + kInstalledExeName;
    files.stagedHelp = base + kInstalledHelpName;
    files.packedExe = PackedName(files.stagedExe);
    files.packedHelp = PackedName(files.stagedHelp);
    return files;
}

namespace {

// An old backup is the only copy of the previous version when an earlier run stopped after
// moving the installed file aside; it may go only while the installed file is still there.
FileError DeleteBackupOf(Platform& p, const std::wstring& installed, const std::wstring& backup)
{
    return p.FileExists(installed) ? p.RemoveFile(backup) : kErrorFileNotFound;
}

// Nothing to move aside (no help file installed) is no failure; an installed file that stays
// where it is would be overwritten later without a backup.
FileError MoveAside(Platform& p, const std::wstring& installed, const std::wstring& backup)
{
    const FileError error = p.RenameFile(installed, backup);
    return error != kFileOk && !p.FileExists(installed) ? kFileOk : error;
}

using F = const UpdateFiles&;

} // namespace

const std::vector<UpdateStep>& UpdateSteps()
{
    static const std::vector<UpdateStep> steps = {
        {1, false, "delete old executable backup",
         [](Platform& p, F f) { return DeleteBackupOf(p, f.exePath, f.exeBackup); }},
        {1, false, "delete old help backup",
         [](Platform& p, F f) { return DeleteBackupOf(p, f.helpPath, f.helpBackup); }},
        {1, true, "back up executable",
         [](Platform& p, F f) { return MoveAside(p, f.exePath, f.exeBackup); }},
        {1, true, "back up help file",
         [](Platform& p, F f) { return MoveAside(p, f.helpPath, f.helpBackup); }},
        {2, false, "delete stale staged executable",
         [](Platform& p, F f) { return p.RemoveFile(f.stagedExe); }},
        {2, false, "delete stale staged help file",
         [](Platform& p, F f) { return p.RemoveFile(f.stagedHelp); }},
        {3, false, "restore executable",
         [](Platform& p, F f) { return RestorePackedFile(p, f.packedExe, f.stagedExe); }},
        {3, false, "restore help file",
         [](Platform& p, F f) { return RestorePackedFile(p, f.packedHelp, f.stagedHelp); }},
        {3, false, "install executable",
         [](Platform& p, F f) { return p.CopyFileTo(f.stagedExe, f.exePath); }},
        {3, false, "install help file",
         [](Platform& p, F f) { return p.CopyFileTo(f.stagedHelp, f.helpPath); }},
        {3, false, "remove staged executable",
         [](Platform& p, F f) { return p.RemoveFile(f.stagedExe); }},
        {3, false, "remove staged help file",
         [](Platform& p, F f) { return p.RemoveFile(f.stagedHelp); }},
    };
    return steps;
}

namespace {

constexpr FileError kErrorNotEnoughMemory = 8;

FileError RunStep(const UpdateStep& step, Platform& platform, const UpdateFiles& files)
{
    try {
        return step.run(platform, files);
    } catch (const std::exception&) {
        return kErrorNotEnoughMemory;
    }
}

// Scanners and indexers let go of a file within moments; anything else is final at once.
FileError RunRetryingBriefLocks(const UpdateStep& step, Platform& platform,
                                const UpdateFiles& files)
{
    const std::uint32_t start = platform.Milliseconds();
    FileError error = RunStep(step, platform, files);
    while ((error == kErrorSharingViolation || error == kErrorLockViolation) &&
           platform.Milliseconds() - start < kLockRetryMilliseconds) {
        platform.Pause(kLockRetryPauseMilliseconds);
        error = RunStep(step, platform, files);
    }
    return error;
}

bool FailureEndsRun(const UpdateStep& step)
{
    return step.keepsOldVersion || step.stage == 0 || step.stage == 3;
}

std::wstring FolderOf(const std::wstring& path)
{
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

ReplaceOutcome Failed(Platform& platform)
{
    platform.ShowMessage(FailureMessage());
    return ReplaceOutcome::Failed;
}

} // namespace

ReplaceOutcome UpdateInstallation(Platform& platform, const Installation& installation)
{
    try {
        if (!EditionAllowsUpdate(platform))
            return ReplaceOutcome::Refused;
        const std::wstring packageFolder = platform.PackageFolder();
        // A package unpacked into the installation itself: its restored copies would be the
        // installed files, and the old ones would be lost on the way.
        if (platform.SameFolder(packageFolder, FolderOf(installation.exePath)))
            return Failed(platform);
        const UpdateFiles files = FormUpdateFiles(installation, packageFolder);
        for (const UpdateStep& step : UpdateSteps()) {
            if (RunRetryingBriefLocks(step, platform, files) != kFileOk && FailureEndsRun(step))
                return Failed(platform);
        }
    } catch (const std::exception&) {
        // Before the first file step (edition check, naming): nothing has been touched.
        return Failed(platform);
    }
    platform.ShowMessage(SuccessMessage());
    return ReplaceOutcome::Updated;
}

} // namespace kv
