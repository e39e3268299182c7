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
    file.staged = base + FileName(installed);
    file.packed = PackedName(file.staged);
    return file;
}

} // namespace

UpdateRun StartRun(Platform& platform, const Installation& installation,
                   const std::wstring& packageFolder)
{
    std::wstring base = packageFolder;
    if (base.empty() || base.back() != L'\\')
        base += L'\\';
    return UpdateRun{platform,
                     FileSet(installation.exePath, base),
                     FileSet(installation.helpPath, base),
                     platform.PackageSums(),
                     {},
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

// A CD, a write-protected stick or a read-only share cannot take the staged copies.
bool RefusesWriting(FileError error)
{
    return error == kErrorAccessDenied || error == kErrorWriteProtect;
}

FileError Restore(UpdateRun& r, UpdatedFile& f)
{
    std::optional<Sha256Digest> shipped;
    if (!r.sums.empty() && !(shipped = ShippedSum(r.sums, FileName(f.packed))))
        return kErrorCrc; // a package file the updater was not built for
    const Sha256Digest* expected = shipped ? &*shipped : nullptr;
    FileError error = RestorePackedFile(r.platform, f.packed, f.staged, expected, &f.newContent);
    if (!RefusesWriting(error) || FolderOf(f.staged) == r.privateFolder)
        return error;
    if (r.privateFolder.empty() && r.platform.MakePrivateFolder(&r.privateFolder) != kFileOk) {
        r.privateFolder.clear();
        return error;
    }
    f.staged = r.privateFolder + FileName(f.staged);
    return RestorePackedFile(r.platform, f.packed, f.staged, expected, &f.newContent);
}

// An old backup may go only while the installed file it stands for is there and is not already
// the new version: otherwise the backup is the only copy of the version from before the update.
FileError DeleteOldBackup(UpdateRun& r, UpdatedFile& f)
{
    Platform& p = r.platform;
    if (p.Probe(f.installed) != Presence::File)
        return kFileOk; // moving aside decides whether the run can go on
    Sha256Digest digest{};
    if (const FileError error = HashFile(p, f.installed, &digest))
        return error;
    f.upToDate = digest == f.newContent;
    if (f.upToDate || p.Probe(f.backup) == Presence::Absent)
        return kFileOk;
    // A read-only installed file (a CD install) stays read-only once moved aside; the backup is
    // the updater's own file, so the attribute must not block the next update.
    p.MakeWritable(f.backup);
    return Remove(r, f.backup);
}

// Only a file the system says is not there may stay unmoved: one whose presence cannot be read
// would otherwise be replaced without a backup.
FileError MoveAside(UpdateRun& r, UpdatedFile& f)
{
    if (f.upToDate)
        return kFileOk;
    const FileError error = r.platform.RenameFile(f.installed, f.backup);
    return error != kFileOk && r.platform.Probe(f.installed) == Presence::Absent ? kFileOk : error;
}

// Written beside the installed name, flushed, then renamed: an interruption leaves either no
// installed file (its backup holds the previous version) or a complete new one.
FileError Install(UpdateRun& r, UpdatedFile& f)
{
    if (f.upToDate)
        return kFileOk;
    if (const FileError error = CopyChecked(r.platform, f.staged, f.partial, f.newContent))
        return error;
    const FileError error = r.platform.RenameFile(f.partial, f.installed);
    if (error != kFileOk)
        r.platform.RemoveFile(f.partial);
    return error;
}

} // namespace

const std::vector<UpdateStep>& UpdateSteps()
{
    using R = UpdateRun&;
    static const std::vector<UpdateStep> steps = {
        {2, false, "delete stale staged executable", [](R r) { return Remove(r, r.exe.staged); }},
        {2, false, "delete stale staged help file", [](R r) { return Remove(r, r.help.staged); }},
        {2, false, "delete partial executable", [](R r) { return Remove(r, r.exe.partial); }},
        {2, false, "delete partial help file", [](R r) { return Remove(r, r.help.partial); }},
        {3, false, "restore executable", [](R r) { return Restore(r, r.exe); }},
        {3, false, "restore help file", [](R r) { return Restore(r, r.help); }},
        {1, false, "delete old executable backup", [](R r) { return DeleteOldBackup(r, r.exe); }},
        {1, true, "back up executable", [](R r) { return MoveAside(r, r.exe); }},
        {3, false, "install executable", [](R r) { return Install(r, r.exe); }},
        {1, false, "delete old help backup", [](R r) { return DeleteOldBackup(r, r.help); }},
        {1, true, "back up help file", [](R r) { return MoveAside(r, r.help); }},
        {3, false, "install help file", [](R r) { return Install(r, r.help); }},
        {3, false, "remove staged executable", [](R r) { return Remove(r, r.exe.staged); }},
        {3, false, "remove staged help file", [](R r) { return Remove(r, r.help.staged); }},
    };
    return steps;
}

namespace {

FileError RunStep(const UpdateStep& step, UpdateRun& run)
{
    try {
        return step.run(run);
    } catch (const std::exception&) {
        return kErrorNotEnoughMemory;
    }
}

// Scanners and indexers let go of a file within moments, and a name this run deleted while one
// of them held the file stays reserved ("delete pending", access denied) until it lets go.
// Anything else is final at once.
FileError RunRetryingBriefLocks(const UpdateStep& step, UpdateRun& run)
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
    FileError error = RunStep(step, run);
    while (brief(error) && run.platform.Milliseconds() - start < kLockRetryMilliseconds) {
        run.platform.Pause(kLockRetryPauseMilliseconds);
        error = RunStep(step, run);
    }
    return error;
}

bool FailureEndsRun(const UpdateStep& step)
{
    return step.keepsOldVersion || step.stage == 3;
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

bool RunSteps(UpdateRun& run)
{
    SessionEndBlock block(run.platform);
    for (const UpdateStep& step : UpdateSteps()) {
        if (RunRetryingBriefLocks(step, run) != kFileOk && FailureEndsRun(step))
            return false;
    }
    return true;
}

// Staged copies in a private folder are of no use after the run, however it ended.
void DropPrivateFolder(UpdateRun& run)
{
    if (run.privateFolder.empty())
        return;
    for (const UpdatedFile* file : {&run.exe, &run.help}) {
        if (FolderOf(file->staged) == run.privateFolder)
            run.platform.RemoveFile(file->staged);
    }
    run.platform.RemoveFolder(run.privateFolder);
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
        UpdateRun run = StartRun(platform, installation, packageFolder);
        const bool updated = RunSteps(run);
        DropPrivateFolder(run);
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
