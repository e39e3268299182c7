#include "update/replace.h"

#include <algorithm>
#include <exception>
#include <optional>

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

namespace {

std::wstring FileName(const std::wstring& path)
{
    return path.substr(path.find_last_of(L'\\') + 1);
}

std::wstring FolderOf(const std::wstring& path)
{
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

UpdatedFile FileSet(const std::wstring& installed, const std::wstring& base)
{
    UpdatedFile file;
    file.installed = installed;
    file.backup = installed + L".backup";
    file.partial = installed + L".new";
    file.stale = base + FileName(installed);
    file.packed = PackedName(file.stale);
    return file;
}

} // namespace

UpdateRun StartRun(Platform& platform, const Installation& installation,
                   const std::wstring& packageFolder)
{
    return UpdateRun{platform,
                     FileSet(installation.exePath, packageFolder),
                     FileSet(installation.helpPath, packageFolder),
                     FolderOf(installation.exePath),
                     platform.PackageSums(),
                     {}};
}

namespace {

// The sum sha256sum wrote for `name`: "<64 lowercase hex digits>  name".
std::optional<Sha256Digest> ShippedSum(const std::string& sums, const std::wstring& name)
{
    const std::string wanted(name.begin(), name.end()); // package file names are ASCII
    std::size_t start = 0;
    while (start < sums.size()) {
        std::size_t end = sums.find('\n', start);
        if (end == std::string::npos)
            end = sums.size();
        const std::string line = sums.substr(start, end - start);
        start = end + 1;
        if (line.size() != 66 + wanted.size() || line.compare(64, std::string::npos, "  " + wanted))
            continue;
        Sha256Digest digest{};
        for (std::size_t i = 0; i < 64; ++i) {
            const char c = line[i];
            const int nibble = c >= '0' && c <= '9'   ? c - '0'
                               : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                      : -1;
            if (nibble < 0)
                return std::nullopt;
            digest[i / 2] = static_cast<std::uint8_t>(digest[i / 2] << 4 | nibble);
        }
        return digest;
    }
    return std::nullopt;
}

FileError Remove(UpdateRun& r, const std::wstring& path)
{
    const FileError error = r.platform.RemoveFile(path);
    if (error == kFileOk)
        r.deleted.push_back(path);
    return error;
}

FileError Restore(UpdateRun& r, UpdatedFile& f)
{
    std::optional<Sha256Digest> shipped;
    if (!r.sums.empty() && !(shipped = ShippedSum(r.sums, FileName(f.packed))))
        return kErrorCrc; // a package file the updater was not built for
    return RestorePackedFile(r.platform, f.packed, f.partial, shipped ? &*shipped : nullptr,
                             &f.restored);
}

// Held from here to the end of the run: a program that keeps the file from moving (a help viewer
// that lets others only read) is found while nothing has changed. Only a file the system says is
// not there may stay unheld: one whose presence cannot be read would be replaced without a backup.
FileError Hold(UpdateRun& r, UpdatedFile& f)
{
    const FileError error = r.platform.OpenForMoving(f.installed, &f.old);
    if (error == kErrorFileMissing || error == kErrorPathMissing)
        return kFileOk;
    if (error != kFileOk)
        return error;
    if (f.old->Size() != f.restored.size)
        return kFileOk; // not the new version: no need to read it
    Sha256Digest digest{};
    if (const FileError hashError = HashStream(r.platform, *f.old, &digest))
        return hashError;
    f.upToDate = digest == f.restored.content;
    return kFileOk;
}

// An old backup may go only while the installed file it stands for is there and is not already
// the new version: otherwise the backup is the only copy of the version from before the update.
FileError DeleteOldBackup(UpdateRun& r, UpdatedFile& f)
{
    if (!f.old || f.upToDate)
        return kFileOk;
    // A read-only installed file (a CD install) stays read-only once moved aside; the backup is
    // the updater's own file, so the attribute must not block the next update.
    r.platform.MakeWritable(f.backup);
    const FileError error = Remove(r, f.backup);
    return error == kErrorFileMissing ? kFileOk : error;
}

FileError MoveAside(UpdateRun&, UpdatedFile& f)
{
    if (!f.old || f.upToDate)
        return kFileOk;
    const FileError error = f.old->MoveTo(f.backup);
    f.movedAside = error == kFileOk;
    return error;
}

FileError PutBack(UpdateRun&, UpdatedFile& f)
{
    return f.movedAside ? f.old->MoveTo(f.installed) : kFileOk;
}

FileError Install(UpdateRun&, UpdatedFile& f)
{
    if (f.upToDate)
        return kFileOk;
    const FileError error = f.restored.file->MoveTo(f.installed);
    f.placed = error == kFileOk;
    return error;
}

FileError Withdraw(UpdateRun&, UpdatedFile& f)
{
    if (!f.placed)
        return kFileOk;
    const FileError error = f.restored.file->MoveTo(f.partial);
    f.placed = error != kFileOk;
    return error;
}

} // namespace

const std::vector<UpdateStep>& UpdateSteps()
{
    using R = UpdateRun&;
    static const std::vector<UpdateStep> steps = {
        {kTidyUp, "delete stale staged executable", [](R r) { return Remove(r, r.exe.stale); }},
        {kTidyUp, "delete stale staged help file", [](R r) { return Remove(r, r.help.stale); }},
        {kTidyUp, "delete partial executable", [](R r) { return Remove(r, r.exe.partial); }},
        {kTidyUp, "delete partial help file", [](R r) { return Remove(r, r.help.partial); }},
        {kUpdate, "restore executable", [](R r) { return Restore(r, r.exe); }},
        {kUpdate, "restore help file", [](R r) { return Restore(r, r.help); }},
        {kUpdate, "hold executable", [](R r) { return Hold(r, r.exe); }},
        {kUpdate, "hold help file", [](R r) { return Hold(r, r.help); }},
        {kUpdate, "delete old executable backup", [](R r) { return DeleteOldBackup(r, r.exe); }},
        {kUpdate, "delete old help backup", [](R r) { return DeleteOldBackup(r, r.help); }},
        {kUpdate, "back up executable", [](R r) { return MoveAside(r, r.exe); },
         [](R r) { return PutBack(r, r.exe); }},
        {kUpdate, "install executable", [](R r) { return Install(r, r.exe); },
         [](R r) { return Withdraw(r, r.exe); }},
        {kUpdate, "back up help file", [](R r) { return MoveAside(r, r.help); },
         [](R r) { return PutBack(r, r.help); }},
        {kUpdate, "install help file", [](R r) { return Install(r, r.help); },
         [](R r) { return Withdraw(r, r.help); }},
        // The renames go to the disk: a power cut after the success message cannot bring the
        // old version back.
        {kUpdate, "flush installation folder",
         [](R r) { return r.platform.FlushFolder(r.installFolder); }},
    };
    return steps;
}

namespace {

FileError RunStep(FileError (*action)(UpdateRun&), UpdateRun& run)
{
    try {
        return action(run);
    } catch (const std::exception&) {
        return kErrorNotEnoughMemory;
    }
}

// Scanners and indexers let go of a file within moments, and a name this run deleted while one
// of them held the file stays reserved ("delete pending", access denied) until it lets go.
// Anything else is final at once.
FileError RunRetryingBriefLocks(FileError (*action)(UpdateRun&), UpdateRun& run)
{
    const auto pending = [&run] {
        return std::any_of(run.deleted.begin(), run.deleted.end(),
                           [&run](const std::wstring& name) {
                               return run.platform.Probe(name) == Presence::Unknown;
                           });
    };
    const auto brief = [&](FileError error) {
        return error == kErrorSharingViolation || error == kErrorLockViolation ||
               (error == kErrorAccessDenied && pending());
    };
    const std::uint32_t start = run.platform.Milliseconds();
    FileError error = RunStep(action, run);
    while (brief(error) && run.platform.Milliseconds() - start < kLockRetryMilliseconds) {
        run.platform.Pause(kLockRetryPauseMilliseconds);
        error = RunStep(action, run);
    }
    return error;
}

// Windows is asked to wait with log-off and shutdown while files are being moved.
class SessionEndBlock {
public:
    explicit SessionEndBlock(Platform& platform) : platform_(platform)
    {
        platform_.BlockSessionEnd(true);
    }
    ~SessionEndBlock() { platform_.BlockSessionEnd(false); }
    SessionEndBlock(const SessionEndBlock&) = delete;
    SessionEndBlock& operator=(const SessionEndBlock&) = delete;

private:
    Platform& platform_;
};

// A failure that ends the run undoes the renames already done, newest first: the installation
// is then all old again. Only a kill or a power cut in the middle leaves it mixed, and the next
// start finishes the update.
bool RunSteps(UpdateRun& run)
{
    SessionEndBlock block(run.platform);
    const std::vector<UpdateStep>& steps = UpdateSteps();
    for (std::size_t i = 0; i < steps.size(); ++i) {
        if (RunRetryingBriefLocks(steps[i].run, run) == kFileOk || steps[i].stage != kUpdate)
            continue;
        while (i-- > 0) {
            if (steps[i].undo)
                RunRetryingBriefLocks(steps[i].undo, run);
        }
        return false;
    }
    return true;
}

// New files that did not reach their place are of no use: the next press makes them afresh.
void LetGo(UpdateRun& run)
{
    for (UpdatedFile* file : {&run.exe, &run.help}) {
        file->old.reset();
        if (!file->restored.file)
            continue;
        file->restored.file->Close();
        file->restored.file.reset();
        if (!file->placed)
            run.platform.RemoveFile(file->partial);
    }
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
        // A package unpacked into the installation itself: removing the stale copies older
        // updaters left in the package folder would remove the installed files.
        if (platform.SameFolder(packageFolder, FolderOf(installation.exePath)))
            return Failed(platform);
        UpdateRun run = StartRun(platform, installation, packageFolder);
        const bool updated = RunSteps(run);
        LetGo(run);
        if (!updated)
            return Failed(platform);
    } catch (const std::exception&) {
        // Before the first file step (edition check, naming): nothing has been touched.
        return Failed(platform);
    }
    platform.ShowMessage(SuccessMessage());
    return ReplaceOutcome::Updated;
}

} // namespace kv
