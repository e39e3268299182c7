#include "platform/platform_win.h"

#include <bcrypt.h>

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

// Renames the file a handle holds, whatever happens to names meanwhile; the handle needs DELETE
// access. An existing target is never replaced.
FileError RenameHeld(HANDLE file, const std::wstring& to)
{
    const std::size_t nameBytes = to.size() * sizeof(wchar_t);
    std::vector<std::uint8_t> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(rename->FileName, to.data(), nameBytes);
    return LastErrorUnless(SetFileInformationByHandle(file, FileRenameInfo, rename,
                                                      static_cast<DWORD>(buffer.size())));
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
    explicit HeldInstalledFile(HANDLE file) : file_(file) {}
    bool Read(void* buffer, std::size_t capacity, std::size_t* got) override
    {
        return ReadSome(file_.Get(), buffer, capacity, got);
    }
    std::uint64_t Size() override
    {
        LARGE_INTEGER size{};
        return GetFileSizeEx(file_.Get(), &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
    }
    FileError MoveTo(const std::wstring& path) override { return RenameHeld(file_.Get(), path); }

private:
    ScopedHandle file_;
};

class FileWriter final : public OutputFile {
public:
    explicit FileWriter(HANDLE file) : file_(file) {}
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
    FileError MoveTo(const std::wstring& path) override { return RenameHeld(file_.Get(), path); }

private:
    ScopedHandle file_;
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

FileError Win32Platform::RemoveFile(const std::wstring& path)
{
    return LastErrorUnless(::DeleteFileW(path.c_str()));
}

FileError Win32Platform::MakeWritable(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return LastErrorUnless(FALSE);
    return LastErrorUnless(
        SetFileAttributesW(path.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY}));
}

bool Win32Platform::IsNormalFile(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes &
            (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) == 0;
}

Presence Win32Platform::Probe(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return attributes & FILE_ATTRIBUTE_DIRECTORY ? Presence::Unknown : Presence::File;
    // A file being deleted, a folder without access or a medium gone answer otherwise.
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Presence::Absent
                                                                          : Presence::Unknown;
}

FileError Win32Platform::OpenForReading(const std::wstring& path,
                                        std::unique_ptr<ReadStream>* stream)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return LastErrorUnless(FALSE);
    *stream = std::make_unique<FileReader>(file);
    return kFileOk;
}

FileError Win32Platform::CreateForWriting(const std::wstring& path,
                                          std::unique_ptr<OutputFile>* stream)
{
    // Shared with nobody until it is closed: what was written and checked is what gets renamed.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return LastErrorUnless(FALSE);
    *stream = std::make_unique<FileWriter>(file);
    return kFileOk;
}

FileError Win32Platform::OpenForMoving(const std::wstring& path,
                                       std::unique_ptr<InstalledFile>* file)
{
    // Others may go on reading it (a running Korvane, a viewer that shares deletion), but a
    // program that keeps it from moving fails this open now, before anything has changed.
    HANDLE held = CreateFileW(path.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (held == INVALID_HANDLE_VALUE)
        return LastErrorUnless(FALSE);
    *file = std::make_unique<HeldInstalledFile>(held);
    return kFileOk;
}

FileError Win32Platform::FlushFolder(const std::wstring& folder)
{
    // Flushing a folder writes its entries, and on NTFS the journal that records the renames.
    ScopedHandle handle(CreateFileW(folder.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle.Valid())
        return LastErrorUnless(FALSE);
    return LastErrorUnless(FlushFileBuffers(handle.Get()));
}

namespace {

// The file system's identity of a folder: its volume and its index there.
bool FolderIdentity(const std::wstring& folder, BY_HANDLE_FILE_INFORMATION* identity)
{
    // Attributes only: a folder on a read-only medium or share opens this way too.
    ScopedHandle handle(CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return handle.Valid() && GetFileInformationByHandle(handle.Get(), identity);
}

} // namespace

bool Win32Platform::SameFolder(const std::wstring& a, const std::wstring& b)
{
    // A folder that cannot be opened is no folder the update could write to.
    BY_HANDLE_FILE_INFORMATION first, second;
    return FolderIdentity(a, &first) && FolderIdentity(b, &second) &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
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

    template <typename Function>
    static bool Find(HMODULE dll, const char* name, Function* function)
    {
        *function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
        return *function != nullptr;
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
