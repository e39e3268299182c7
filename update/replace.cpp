#include "update/replace.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <vector>

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

// Which names a file's versions have, step by step ("name" is korv5.exe or korv.hlp):
enum class Names {
    Staged,     // name: the old version, or nothing; name.new: the new version, once restored
    OldAside,   // name.backup: the old version; name.new: the new version; name: free
    NewInPlace, // name: the new version; name.backup: the old version, or nothing
    AlreadyNew, // name already is the new version, and stays as it is with its backup
};

// One of the two files the update replaces. Names are in the installation folder.
struct UpdatedFile {
    UpdatedFile(const std::wstring& installedPath, const std::wstring& packageFolder)
        : name(FileName(installedPath)), backup(name + L".backup"), partial(name + L".new"),
          stale(packageFolder + name), packed(PackedName(stale))
    {
    }
    std::wstring name, backup, partial;
    std::wstring stale;    // a restored copy an older updater left in the package folder
    std::wstring packed;   // as the package ships it
    RestoredFile restored; // the new version, held from its restore to the end of the run
    std::unique_ptr<InstalledFile> old; // the installed version, held; null: not installed
    Names names = Names::Staged;
};

// One press of Replace, as it goes.
struct UpdateRun {
    Platform& platform;
    Folder& folder; // the installation folder, held for the whole run
    UpdatedFile exe, help;
    std::string sums; // the packed files' sums built into the updater; empty: unchecked
    // Names this run deleted: one that another program still holds stays "delete pending" a moment.
    std::vector<std::wstring> deleted;
};

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

// Deletes an updater's own leftover of the installation folder: only a plain file, never a link
// someone put in its place.
FileError Remove(UpdateRun& r, const std::wstring& name)
{
    std::unique_ptr<InstalledFile> file;
    FileError error = r.folder.Open(name, &file);
    if (error == kFileOk && (error = file->Delete()) == kFileOk)
        r.deleted.push_back(name);
    return error == kErrorFileMissing ? kFileOk : error;
}

FileError Restore(UpdateRun& r, UpdatedFile& f)
{
    std::optional<Sha256Digest> shipped;
    if (!r.sums.empty() && !(shipped = ShippedSum(r.sums, FileName(f.packed))))
        return kErrorCrc; // a package file the updater was not built for
    return RestorePackedFile(r.platform, f.packed, r.folder, f.partial,
                             shipped ? &*shipped : nullptr, &f.restored);
}

// Whether a held file is byte for byte the new version just restored; one of another size is not
// read.
FileError IsNewVersion(UpdateRun& r, const UpdatedFile& f, InstalledFile& file, bool* isNew)
{
    *isNew = false;
    if (file.Size() != f.restored.size)
        return kFileOk;
    Sha256Digest digest{};
    if (const FileError error = HashStream(r.platform, file, &digest))
        return error;
    *isNew = digest == f.restored.content;
    return kFileOk;
}

// Older updaters restored the new files in the package folder. Such a copy goes only when it is
// byte for byte the new version just restored: anything else there is the user's.
FileError RemoveStaleCopy(UpdateRun& r, UpdatedFile& f)
{
    std::unique_ptr<InstalledFile> copy;
    bool isNew = false;
    if (const FileError error = r.platform.OpenToDelete(f.stale, &copy))
        return error;
    if (const FileError error = IsNewVersion(r, f, *copy, &isNew))
        return error;
    return isNew ? copy->Delete() : kFileOk;
}

// Held from here to the end of the run: a program that keeps the file from moving (a help viewer
// that lets others only read) is found while nothing has changed. Only a file the system says is
// not there may stay unheld: one whose presence cannot be read would be replaced without a backup.
FileError Hold(UpdateRun& r, UpdatedFile& f)
{
    const FileError error = r.folder.Open(f.name, &f.old);
    if (error == kErrorFileMissing || error == kErrorPathMissing)
        return kFileOk;
    if (error != kFileOk)
        return error;
    bool isNew = false;
    if (const FileError hashError = IsNewVersion(r, f, *f.old, &isNew))
        return hashError;
    if (isNew)
        f.names = Names::AlreadyNew;
    return kFileOk;
}

// An old backup may go only while the installed file it stands for is there and is not already
// the new version: otherwise the backup is the only copy of the version from before the update.
// A read-only one goes too (an installation from a CD stays read-only once moved aside): the
// backup is the updater's own file.
FileError DeleteOldBackup(UpdateRun& r, UpdatedFile& f)
{
    return f.old && f.names == Names::Staged ? Remove(r, f.backup) : kFileOk;
}

// Staged -> OldAside, when an old version is installed.
FileError MoveAside(UpdateRun&, UpdatedFile& f)
{
    if (!f.old || f.names != Names::Staged)
        return kFileOk;
    const FileError error = f.old->MoveTo(f.backup);
    if (error == kFileOk)
        f.names = Names::OldAside;
    return error;
}

// OldAside -> Staged
FileError PutBack(UpdateRun&, UpdatedFile& f)
{
    return f.names == Names::OldAside ? f.old->MoveTo(f.name) : kFileOk;
}

// OldAside, or Staged without an old version -> NewInPlace
FileError Install(UpdateRun&, UpdatedFile& f)
{
    if (f.names == Names::AlreadyNew)
        return kFileOk;
    const FileError error = f.restored.file->MoveTo(f.name);
    if (error == kFileOk)
        f.names = Names::NewInPlace;
    return error;
}

// NewInPlace -> OldAside, or Staged without an old version
FileError Withdraw(UpdateRun&, UpdatedFile& f)
{
    if (f.names != Names::NewInPlace)
        return kFileOk;
    const FileError error = f.restored.file->MoveTo(f.partial);
    if (error == kFileOk)
        f.names = f.old ? Names::OldAside : Names::Staged;
    return error;
}

// What the file system cannot do (a folder on a network share) is not a failure: the renames are
// then as lasting as it makes them.
FileError FlushFolder(UpdateRun& r)
{
    const FileError error = r.folder.Flush();
    return error == kErrorInvalidFunction || error == kErrorNotSupported ? kFileOk : error;
}

// What the failure of a step means.
enum UpdateStage {
    // A tidy-up that may fail (nothing left to delete, a package on a CD): the run goes on.
    kTidyUp,
    // The new files are being made or swapped in; the run stops with the failure message, and
    // the renames already done are undone in reverse order, so that the installation is all old.
    kUpdate,
};

struct UpdateStep {
    UpdateStage stage;
    FileError (*run)(UpdateRun& run);
    FileError (*undo)(UpdateRun& run) = nullptr;
};

// The file steps, in the order they run: both new files are written and checked beside the
// installed ones, and both installed files are held, before any installed name moves; then the
// swap is renames only. The names each file has after a step are those of Names.
const std::vector<UpdateStep>& UpdateSteps()
{
    using R = UpdateRun&;
    static const std::vector<UpdateStep> steps = {
        // Leftovers of an interrupted update; the new files go to names that must be free.
        {kTidyUp, [](R r) { return Remove(r, r.exe.partial); }},
        {kTidyUp, [](R r) { return Remove(r, r.help.partial); }},
        // Staged: korv5.exe.new and korv.hlp.new, new and checked, beside the installed files.
        {kUpdate, [](R r) { return Restore(r, r.exe); }},
        {kUpdate, [](R r) { return Restore(r, r.help); }},
        {kTidyUp, [](R r) { return RemoveStaleCopy(r, r.exe); }},
        {kTidyUp, [](R r) { return RemoveStaleCopy(r, r.help); }},
        // Either file may turn out AlreadyNew here.
        {kUpdate, [](R r) { return Hold(r, r.exe); }},
        {kUpdate, [](R r) { return Hold(r, r.help); }},
        {kUpdate, [](R r) { return DeleteOldBackup(r, r.exe); }},
        {kUpdate, [](R r) { return DeleteOldBackup(r, r.help); }},
        // The swap: korv5.exe OldAside, then NewInPlace; then the same for korv.hlp.
        {kUpdate, [](R r) { return MoveAside(r, r.exe); }, [](R r) { return PutBack(r, r.exe); }},
        {kUpdate, [](R r) { return Install(r, r.exe); }, [](R r) { return Withdraw(r, r.exe); }},
        {kUpdate, [](R r) { return MoveAside(r, r.help); }, [](R r) { return PutBack(r, r.help); }},
        {kUpdate, [](R r) { return Install(r, r.help); }, [](R r) { return Withdraw(r, r.help); }},
        // The renames go to the disk: a power cut after the success message cannot bring the
        // old version back.
        {kUpdate, FlushFolder},
    };
    return steps;
}

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
                               return run.folder.Probe(name) == Presence::Unknown;
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
        if (RunRetryingBriefLocks(steps[i].run, run) == kFileOk || steps[i].stage == kTidyUp)
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
// They go as the run's handles close.
void DiscardUnplaced(UpdateRun& run)
{
    for (UpdatedFile* file : {&run.exe, &run.help}) {
        if (file->restored.file && file->names != Names::NewInPlace)
            file->restored.file->Delete();
    }
}

// The folder the window found, held: a folder that was swapped for another one, or for a link
// to one, since the window showed is not the installation the user was shown.
FileError PinInstallFolder(Platform& platform, const Installation& installation,
                           std::unique_ptr<Folder>* folder)
{
    if (const FileError error = platform.PinFolder(FolderOf(installation.exePath), folder))
        return error;
    FolderId pinned;
    if (!installation.folder || !(*folder)->Identity(&pinned) || pinned != *installation.folder)
        return kErrorNotPlainFile;
    return kFileOk;
}

// The file steps in the installation folder, held for the whole run. False when the run ended
// all old.
bool UpdateFolder(Platform& platform, const Installation& installation)
{
    std::unique_ptr<Folder> folder;
    if (PinInstallFolder(platform, installation, &folder) != kFileOk)
        return false;
    // A package unpacked into the installation itself: the copies older updaters left in the
    // package folder would be the installed files.
    const std::wstring packageFolder = platform.PackageFolder();
    if (FolderId package;
        platform.FolderIdentity(packageFolder, &package) && package == *installation.folder)
        return false;
    UpdateRun run{platform,
                  *folder,
                  {installation.exePath, packageFolder},
                  {installation.helpPath, packageFolder},
                  platform.PackageSums(),
                  {}};
    const bool updated = RunSteps(run);
    DiscardUnplaced(run);
    return updated;
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
        if (!UpdateFolder(platform, installation))
            return Failed(platform);
    } catch (const std::exception&) {
        // Before the first file step (edition check, naming): nothing has been touched.
        return Failed(platform);
    }
    platform.ShowMessage(SuccessMessage());
    return ReplaceOutcome::Updated;
}

} // namespace kv
