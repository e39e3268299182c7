#include "platform/platform_win.h"

#include <aclapi.h>
#include <bcrypt.h>
#include <winternl.h>

#include <cstring>
#include <vector>

#include "platform/product.h"

namespace kv {

namespace {

std::string ToAnsi(const std::wstring& text)
{
    if (text.empty())
        return {};
    const int length = static_cast<int>(text.size());
    const int size =
        WideCharToMultiByte(CP_ACP, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    std::string ansi(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), length, ansi.data(), size, nullptr, nullptr);
    return ansi;
}

HKEY ToHkey(RegKey key)
{
    return reinterpret_cast<HKEY>(key);
}

bool ReadSome(HANDLE file, void* buffer, std::size_t capacity, std::size_t* got)
{
    DWORD read; // ReadFile sets it first, also when it fails
    const DWORD ask = capacity > 0x40000000 ? 0x40000000 : static_cast<DWORD>(capacity);
    const bool ok = ReadFile(file, buffer, ask, &read, nullptr);
    *got = read;
    return ok;
}

FileError LastErrorUnless(BOOL succeeded)
{
    if (succeeded)
        return kFileOk;
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE; // a failure never reads as success
}

// A path as the wide file API takes it at any length: whole, and with the "\\?\" prefix that lifts
// the MAX_PATH limit (a deep installation folder plus ".backup" passes it).
std::wstring LongPath(const std::wstring& path)
{
    if (path.rfind(L"\\\\?\\", 0) == 0)
        return path;
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(size, L'\0');
    const DWORD length = size ? GetFullPathNameW(path.c_str(), size, full.data(), nullptr) : 0;
    if (length == 0 || length >= size)
        return path;
    full.resize(length);
    if (full.rfind(L"\\\\", 0) == 0)
        return L"\\\\?\\UNC\\" + full.substr(2); // \\server\share\...
    return L"\\\\?\\" + full;
}

// A function of a system DLL looked up by name; false when the DLL has none of that name.
template <typename Function>
bool Find(HMODULE dll, const char* name, Function* function)
{
    *function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
    return *function != nullptr;
}

// The native API for what Win32 offers only by path: names relative to a folder handle. ntdll is
// in every process; looked up, it adds no import.
struct Native {
    using CreateFile = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                        PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
    using SetInformation = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
    using ToDosError = ULONG(NTAPI*)(NTSTATUS);

    Native()
    {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        found = Find(ntdll, "NtCreateFile", &create) &&
                Find(ntdll, "NtSetInformationFile", &setInformation) &&
                Find(ntdll, "RtlNtStatusToDosError", &toDosError);
    }
    FileError Error(NTSTATUS status) const
    {
        const ULONG error = status >= 0 ? ERROR_SUCCESS : toDosError(status);
        return status >= 0 ? kFileOk : error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
    }
    // Opens `name` in `folder`, never through a link at the name itself.
    FileError Open(HANDLE folder, const std::wstring& name, ACCESS_MASK access, ULONG share,
                   ULONG disposition, HANDLE* file) const
    {
        if (!found)
            return ERROR_NOT_SUPPORTED;
        UNICODE_STRING text;
        text.Buffer = const_cast<wchar_t*>(name.c_str());
        text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
        IO_STATUS_BLOCK io;
        constexpr ULONG kOpenReparsePoint = 0x00200000; // FILE_OPEN_REPARSE_POINT
        constexpr ULONG kSequentialOnly = 0x00000004;   // FILE_SEQUENTIAL_ONLY
        return Error(create(file, access | SYNCHRONIZE, &attributes, &io, nullptr,
                            FILE_ATTRIBUTE_NORMAL, share, disposition,
                            FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT |
                                kOpenReparsePoint | kSequentialOnly,
                            nullptr, 0));
    }

    bool found = false; // all three
    CreateFile create = nullptr;
    SetInformation setInformation = nullptr;
    ToDosError toDosError = nullptr;
};

const Native& Nt()
{
    static const Native native;
    return native;
}

// Renames the file a handle holds, in its folder (held by `folder`, or null: the one it is in),
// whatever happens to names meanwhile; the handle needs DELETE access. An existing target is never
// replaced.
FileError RenameHeld(HANDLE file, HANDLE folder, const std::wstring& name)
{
    if (!Nt().found)
        return ERROR_NOT_SUPPORTED;
    const std::size_t nameBytes = name.size() * sizeof(wchar_t);
    std::vector<std::uint8_t> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = folder;
    rename->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(rename->FileName, name.data(), nameBytes);
    IO_STATUS_BLOCK io;
    constexpr ULONG kFileRenameInformation = 10;
    return Nt().Error(Nt().setInformation(file, &io, rename, static_cast<ULONG>(buffer.size()),
                                          kFileRenameInformation));
}

// Deletes the file a handle holds once the handle closes; a read-only one too, as the files the
// updater deletes are its own. The handle needs DELETE and FILE_WRITE_ATTRIBUTES access.
FileError DeleteHeld(HANDLE file)
{
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic))
        return LastErrorUnless(FALSE);
    if (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) {
        FILE_BASIC_INFO writable{}; // times of 0 stay as they are
        writable.FileAttributes =
            (basic.FileAttributes & ~DWORD{FILE_ATTRIBUTE_READONLY}) | FILE_ATTRIBUTE_NORMAL;
        if (!SetFileInformationByHandle(file, FileBasicInfo, &writable, sizeof writable))
            return LastErrorUnless(FALSE);
    }
    FILE_DISPOSITION_INFO disposition{TRUE};
    return LastErrorUnless(
        SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition));
}

// A plain file with one name: not a folder, not a junction or symbolic link, no second hard link
// through which a change would reach a file elsewhere.
bool IsPlainFile(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(file, &info) &&
           (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
               0 &&
           info.nNumberOfLinks == 1;
}

class FileReader final : public ReadStream {
public:
    explicit FileReader(HANDLE file) : file_(file) {}
    bool Read(void* buffer, std::size_t capacity, std::size_t* got) override
    {
        return ReadSome(file_.Get(), buffer, capacity, got);
    }

private:
    ScopedHandle file_;
};

class HeldInstalledFile final : public InstalledFile {
public:
    HeldInstalledFile(HANDLE file, HANDLE folder) : file_(file), folder_(folder) {}
    bool Read(void* buffer, std::size_t capacity, std::size_t* got) override
    {
        return ReadSome(file_.Get(), buffer, capacity, got);
    }
    std::uint64_t Size() override
    {
        LARGE_INTEGER size{};
        return GetFileSizeEx(file_.Get(), &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
    }
    FileError MoveTo(const std::wstring& name) override
    {
        return RenameHeld(file_.Get(), folder_, name);
    }
    FileError Delete() override { return DeleteHeld(file_.Get()); }

private:
    ScopedHandle file_;
    HANDLE folder_; // held by the run's Folder, which outlives its files; or null
};

class FileWriter final : public OutputFile {
public:
    FileWriter(HANDLE file, HANDLE folder) : file_(file), folder_(folder) {}
    bool Write(const void* data, std::size_t size) override
    {
        const auto* bytes = static_cast<const char*>(data);
        while (size > 0) {
            DWORD written; // WriteFile sets it first, also when it fails
            const DWORD ask = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
            if (!WriteFile(file_.Get(), bytes, ask, &written, nullptr) || written == 0)
                return false;
            bytes += written;
            size -= written;
        }
        return true;
    }
    bool Flush() override { return FlushFileBuffers(file_.Get()); }
    bool Close() override { return file_.Reset(); }
    FileError MoveTo(const std::wstring& name) override
    {
        return RenameHeld(file_.Get(), folder_, name);
    }
    FileError Delete() override { return DeleteHeld(file_.Get()); }

private:
    ScopedHandle file_;
    HANDLE folder_;
};

} // namespace

long Win32Platform::RegOpenLocalMachineKey(const std::wstring& subKey, std::uint32_t access,
                                           RegKey* key)
{
    HKEY opened = nullptr;
    const LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, ToAnsi(subKey).c_str(), 0, access, &opened);
    *key = rc == ERROR_SUCCESS ? reinterpret_cast<RegKey>(opened) : 0;
    return rc;
}

long Win32Platform::RegReadValue(RegKey key, const std::wstring& valueName, std::uint32_t* type,
                                 std::uint8_t* data, std::uint32_t* byteCount)
{
    if (key == 0)
        return ERROR_INVALID_HANDLE;
    DWORD valueType = type ? *type : 0;
    DWORD count = *byteCount;
    const LONG rc =
        RegQueryValueExA(ToHkey(key), ToAnsi(valueName).c_str(), nullptr, &valueType, data, &count);
    if (type)
        *type = valueType;
    *byteCount = count;
    return rc;
}

void Win32Platform::RegCloseKey(RegKey key)
{
    if (key != 0)
        ::RegCloseKey(ToHkey(key));
}

std::wstring Win32Platform::AnsiToWide(const std::uint8_t* bytes, std::size_t count)
{
    if (count == 0)
        return {};
    const auto* text = reinterpret_cast<const char*>(bytes);
    const int length = static_cast<int>(count);
    const int size = MultiByteToWideChar(CP_ACP, 0, text, length, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, length, wide.data(), size);
    return wide;
}

bool Win32Platform::IsNormalFile(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(LongPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes &
            (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) == 0;
}

FileError Win32Platform::OpenForReading(const std::wstring& path,
                                        std::unique_ptr<ReadStream>* stream)
{
    HANDLE file = CreateFileW(LongPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return LastErrorUnless(FALSE);
    *stream = std::make_unique<FileReader>(file);
    return kFileOk;
}

namespace {

// Others may go on reading a held file (a running Korvane, a viewer that shares deletion), but a
// program that keeps it from moving fails this open, before anything has changed.
constexpr ACCESS_MASK kHoldAccess = GENERIC_READ | DELETE | FILE_WRITE_ATTRIBUTES;

FileError HoldPlainFile(HANDLE file, HANDLE folder, std::unique_ptr<InstalledFile>* held)
{
    auto holder = std::make_unique<HeldInstalledFile>(file, folder);
    if (!IsPlainFile(file))
        return kErrorNotPlainFile;
    *held = std::move(holder);
    return kFileOk;
}

} // namespace

FileError Win32Platform::OpenToDelete(const std::wstring& path,
                                      std::unique_ptr<InstalledFile>* file)
{
    HANDLE held =
        CreateFileW(LongPath(path).c_str(), kHoldAccess, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (held == INVALID_HANDLE_VALUE)
        return LastErrorUnless(FALSE);
    return HoldPlainFile(held, nullptr, file);
}

namespace {

// The file system's identity of an open file or folder: its volume and its file ID there (128
// bits on ReFS; Vista and 7 know only the 64-bit index).
bool IdentityOf(HANDLE handle, FolderId* id)
{
    struct { // FILE_ID_INFO of Windows 8 and later; the headers here are Vista's
        ULONGLONG volume;
        BYTE file[16];
    } full;
    constexpr auto kFileIdInfo = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);
    if (GetFileInformationByHandleEx(handle, kFileIdInfo, &full, sizeof full)) {
        id->volume = full.volume;
        std::memcpy(id->file.data(), full.file, id->file.size());
        return true;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info))
        return false;
    *id = FolderId{};
    id->volume = info.dwVolumeSerialNumber;
    const std::uint64_t index = std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
    std::memcpy(id->file.data(), &index, sizeof index);
    return true;
}

// Only a link that an administrator, the system or TrustedInstaller owns may lead the elevated
// updater elsewhere: Windows' own rule for redirection it trusts. A standard user can make a
// junction in any folder they may write to, to lead the updater's deletions and creations onto
// files of their choosing.
bool TrustedLink(HANDLE link)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(link, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                        nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    PSID installer = nullptr;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    AllocateAndInitializeSid(&nt, 6, SECURITY_SERVICE_ID_BASE_RID, 956008885, 3418522649,
                             1831038044, 1853292631, 2271478464, 0, 0, &installer);
    const bool trusted = IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                         IsWellKnownSid(owner, WinLocalSystemSid) ||
                         (installer && EqualSid(owner, installer));
    if (installer)
        FreeSid(installer);
    LocalFree(descriptor);
    return trusted;
}

// Every folder on the way to `folder` (a whole \\?\ path), the folder itself included, is a plain
// folder or a link that is trusted.
bool TrustedWay(const std::wstring& folder)
{
    // The walk starts below the drive or share: "\\?\C:\" or "\\?\UNC\server\share\".
    std::size_t at = 6;
    if (folder.rfind(L"\\\\?\\UNC\\", 0) == 0) {
        at = folder.find(L'\\', 8);
        at = at == std::wstring::npos ? at : folder.find(L'\\', at + 1);
    }
    while (at != std::wstring::npos && at + 1 < folder.size()) {
        at = folder.find(L'\\', at + 1);
        const std::wstring step = folder.substr(0, at);
        ScopedHandle handle(CreateFileW(
            step.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        BY_HANDLE_FILE_INFORMATION info;
        if (!handle.Valid() || !GetFileInformationByHandle(handle.Get(), &info))
            return false;
        if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && !TrustedLink(handle.Get()))
            return false;
    }
    return true;
}

// The installation folder, held without delete sharing, so that neither it nor a folder above
// it can be renamed or replaced until the run ends.
class PinnedFolder final : public Folder {
public:
    explicit PinnedFolder(HANDLE folder) : folder_(folder) {}
    bool Identity(FolderId* id) override { return IdentityOf(folder_.Get(), id); }
    Presence Probe(const std::wstring& name) override
    {
        HANDLE file = nullptr;
        const FileError error =
            Nt().Open(folder_.Get(), name, FILE_READ_ATTRIBUTES,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, &file);
        if (error == kFileOk)
            CloseHandle(file);
        // A file being deleted, a folder of that name or no access answer otherwise.
        return error == kFileOk                                                 ? Presence::File
               : error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Presence::Absent
                                                                                : Presence::Unknown;
    }
    FileError Create(const std::wstring& name, std::unique_ptr<OutputFile>* file) override
    {
        // Shared with nobody until it is closed: what was written and checked is what gets
        // renamed. A name that is taken, by a link too, is refused rather than followed.
        HANDLE created = nullptr;
        if (const FileError error =
                Nt().Open(folder_.Get(), name, GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES, 0,
                          FILE_CREATE, &created))
            return error;
        *file = std::make_unique<FileWriter>(created, folder_.Get());
        return kFileOk;
    }
    FileError Open(const std::wstring& name, std::unique_ptr<InstalledFile>* file) override
    {
        HANDLE held = nullptr;
        if (const FileError error =
                Nt().Open(folder_.Get(), name, kHoldAccess, FILE_SHARE_READ, FILE_OPEN, &held))
            return error;
        return HoldPlainFile(held, folder_.Get(), file);
    }
    FileError Flush() override
    {
        // Flushing a folder writes its entries, and on NTFS the journal that records the renames.
        return LastErrorUnless(FlushFileBuffers(folder_.Get()));
    }

private:
    ScopedHandle folder_;
};

} // namespace

bool Win32Platform::FolderIdentity(const std::wstring& folder, FolderId* id)
{
    // Attributes only: a folder on a read-only medium or share opens this way too.
    ScopedHandle handle(CreateFileW(LongPath(folder).c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return handle.Valid() && IdentityOf(handle.Get(), id);
}

FileError Win32Platform::PinFolder(const std::wstring& folder, std::unique_ptr<Folder>* pinned)
{
    const std::wstring path = LongPath(folder);
    HANDLE handle =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return LastErrorUnless(FALSE);
    auto held = std::make_unique<PinnedFolder>(handle);
    // Checked once the folder is held: the way to it can no longer change.
    if (!TrustedWay(path))
        return kErrorNotPlainFile;
    *pinned = std::move(held);
    return kFileOk;
}

std::wstring Win32Platform::PackageFolder()
{
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return {};
        if (length < buffer.size()) {
            std::wstring folder(buffer.data(), length);
            folder.erase(folder.find_last_of(L'\\') + 1);
            return folder;
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::string Win32Platform::PackageSums()
{
    // Built in by scripts/package, inside what the signature covers.
    HRSRC found = FindResourceW(nullptr, L"PACKAGESUMS", MAKEINTRESOURCEW(10)); // RT_RCDATA
    HGLOBAL loaded = found ? LoadResource(nullptr, found) : nullptr;
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes)
        return {};
    return std::string(static_cast<const char*>(bytes), SizeofResource(nullptr, found));
}

namespace {

// CNG's SHA-256, from bcrypt.dll in System32. The DLL is loaded by its full path when first
// needed rather than imported: a bcrypt.dll planted beside the updater in a downloads folder
// must never be the one that runs.
struct Cng {
    using Open = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE*, LPCWSTR, LPCWSTR, ULONG);
    using Property = NTSTATUS(WINAPI*)(BCRYPT_HANDLE, LPCWSTR, PUCHAR, ULONG, ULONG*, ULONG);
    using Create = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE, BCRYPT_HASH_HANDLE*, PUCHAR, ULONG, PUCHAR,
                                     ULONG, ULONG);
    using Data = NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG);
    using Finish = NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG);
    using Destroy = NTSTATUS(WINAPI*)(BCRYPT_HASH_HANDLE);

    Cng()
    {
        wchar_t system[MAX_PATH];
        const UINT length = GetSystemDirectoryW(system, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            return;
        const std::wstring path = std::wstring(system, length) + L"\\bcrypt.dll";
        HMODULE dll = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        if (!dll)
            return;
        Open open = nullptr;
        Property property = nullptr;
        ULONG got;
        // Vista wants the memory for each hash object from its caller; Windows 7 and later would
        // allocate it themselves.
        if (!Find(dll, "BCryptOpenAlgorithmProvider", &open) ||
            !Find(dll, "BCryptGetProperty", &property) || !Find(dll, "BCryptCreateHash", &create) ||
            !Find(dll, "BCryptHashData", &data) || !Find(dll, "BCryptFinishHash", &finish) ||
            !Find(dll, "BCryptDestroyHash", &destroy) ||
            open(&sha256, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0 ||
            property(sha256, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectLength),
                     sizeof objectLength, &got, 0) != 0)
            sha256 = nullptr;
    }

    BCRYPT_ALG_HANDLE sha256 = nullptr; // kept for the life of the program
    ULONG objectLength = 0;             // the size of a hash object's memory
    Create create = nullptr;
    Data data = nullptr;
    Finish finish = nullptr;
    Destroy destroy = nullptr;
};

class CngSha256 final : public Sha256 {
public:
    explicit CngSha256(const Cng& cng) : cng_(cng), object_(cng.objectLength) {}
    ~CngSha256() override
    {
        if (hash_)
            cng_.destroy(hash_); // before its memory goes
    }
    CngSha256(const CngSha256&) = delete;
    CngSha256& operator=(const CngSha256&) = delete;

    bool Create()
    {
        return cng_.create(cng_.sha256, &hash_, object_.data(), static_cast<ULONG>(object_.size()),
                           nullptr, 0, 0) == 0;
    }
    void Add(const void* data, std::uint32_t size) override
    {
        ok_ = ok_ && cng_.data(hash_, static_cast<UCHAR*>(const_cast<void*>(data)), size, 0) == 0;
    }
    bool Finish(Sha256Digest* digest) override
    {
        return ok_ &&
               cng_.finish(hash_, digest->data(), static_cast<ULONG>(digest->size()), 0) == 0;
    }

private:
    const Cng& cng_;
    std::vector<UCHAR> object_; // the hash object's memory, as long as the hash lives
    BCRYPT_HASH_HANDLE hash_ = nullptr;
    bool ok_ = true;
};

} // namespace

std::unique_ptr<Sha256> Win32Platform::NewSha256()
{
    static const Cng cng;
    if (!cng.sha256)
        return nullptr;
    auto hash = std::make_unique<CngSha256>(cng);
    return hash->Create() ? std::move(hash) : nullptr;
}

void Win32Platform::BlockSessionEnd(bool block)
{
    sessionEndBlocked_ = block;
    if (!owner_)
        return;
    // Windows shows the reason beside the program when the user logs off or shuts down. Wine
    // and some desktops do not: the refusal of WM_QUERYENDSESSION is what counts.
    if (block)
        ShutdownBlockReasonCreate(owner_, L"Updating Korvane");
    else
        ShutdownBlockReasonDestroy(owner_);
}

std::uint32_t Win32Platform::Milliseconds()
{
    return GetTickCount();
}

void Win32Platform::Pause(std::uint32_t milliseconds)
{
    // The update runs on the window's thread: the window keeps answering while the update waits,
    // so that Windows never turns it into a "not responding" ghost the user could close.
    const DWORD start = GetTickCount();
    for (DWORD waited = 0; waited < milliseconds; waited = GetTickCount() - start) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, milliseconds - waited, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(message.wParam)); // for the main loop to see
                return;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

void Win32Platform::ShowMessage(const std::wstring& text)
{
    // The window is the owner from when it shows until it is destroyed: the box is modal to it.
    MessageBoxW(owner_, text.c_str(), kMessageTitle, MB_OK);
}

} // namespace kv
