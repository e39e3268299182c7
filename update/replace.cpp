#include "update/replace.h"

#include <exception>

#include "app/product.h"
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
bool DeleteBackupOf(Platform& p, const std::wstring& installed, const std::wstring& backup)
{
    return p.FileExists(installed) && p.RemoveFile(backup);
}

using F = const UpdateFiles&;

} // namespace

const std::vector<UpdateStep>& UpdateSteps()
{
    static const std::vector<UpdateStep> steps = {
        {1, "delete old executable backup",
         [](Platform& p, F f) { return DeleteBackupOf(p, f.exePath, f.exeBackup); }},
        {1, "delete old help backup",
         [](Platform& p, F f) { return DeleteBackupOf(p, f.helpPath, f.helpBackup); }},
        {1, "back up executable",
         [](Platform& p, F f) { return p.RenameFile(f.exePath, f.exeBackup); }},
        {1, "back up help file",
         [](Platform& p, F f) { return p.RenameFile(f.helpPath, f.helpBackup); }},
        {2, "delete stale staged executable",
         [](Platform& p, F f) { return p.RemoveFile(f.stagedExe); }},
        {2, "delete stale staged help file",
         [](Platform& p, F f) { return p.RemoveFile(f.stagedHelp); }},
        {3, "restore executable",
         [](Platform& p, F f) { return RestorePackedFile(p, f.packedExe, f.stagedExe); }},
        {3, "restore help file",
         [](Platform& p, F f) { return RestorePackedFile(p, f.packedHelp, f.stagedHelp); }},
        {3, "install executable",
         [](Platform& p, F f) { return p.CopyFileTo(f.stagedExe, f.exePath); }},
        {3, "install help file",
         [](Platform& p, F f) { return p.CopyFileTo(f.stagedHelp, f.helpPath); }},
        {3, "remove staged executable", [](Platform& p, F f) { return p.RemoveFile(f.stagedExe); }},
        {3, "remove staged help file", [](Platform& p, F f) { return p.RemoveFile(f.stagedHelp); }},
    };
    return steps;
}

namespace {

// A step fails when its operation reports failure or when anything underneath throws.
bool StepSucceeds(const UpdateStep& step, Platform& platform, const UpdateFiles& files)
{
    try {
        return step.run(platform, files);
    } catch (const std::exception&) {
        return false;
    }
}

bool FailureEndsRun(int updateStage)
{
    return updateStage == 0 || updateStage == 3;
}

} // namespace

ReplaceOutcome Command1_Click(Platform& platform, const Installation& installation)
{
    try {
        if (!EditionAllowsUpdate(platform))
            return ReplaceOutcome::Refused;
        const UpdateFiles files = FormUpdateFiles(installation, platform.PackageFolder());
        for (const UpdateStep& step : UpdateSteps()) {
            const int updateStage = step.stage;
            if (!StepSucceeds(step, platform, files) && FailureEndsRun(updateStage)) {
                platform.ShowMessage(FailureMessage());
                return ReplaceOutcome::Failed;
            }
        }
    } catch (const std::exception&) {
        // Before the first file step (edition check, naming): nothing has been touched.
        platform.ShowMessage(FailureMessage());
        return ReplaceOutcome::Failed;
    }
    platform.ShowMessage(SuccessMessage());
    return ReplaceOutcome::Updated;
}

} // namespace kv
