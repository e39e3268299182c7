#include "platform/platform_win.h"

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

class FileReader final : public ReadStream {
public:
    explicit FileReader(HANDLE file) : file_(file) {}
    bool Read(void* buffer, std::size_t capacity, std::size_t* got) override
    {
        DWORD read = 0;
        const DWORD ask = capacity > 0x40000000 ? 0x40000000 : static_cast<DWORD>(capacity);
        const bool ok = ReadFile(file_.Get(), buffer, ask, &read, nullptr);
        *got = ok ? read : 0;
        return ok;
    }

private:
    ScopedHandle file_;
};

class FileWriter final : public WriteStream {
public:
    explicit FileWriter(HANDLE file) : file_(file) {}
    bool Write(const void* data, std::size_t size) override
    {
        const auto* bytes = static_cast<const char*>(data);
        while (size > 0) {
            DWORD written = 0;
            const DWORD ask = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
            if (!WriteFile(file_.Get(), bytes, ask, &written, nullptr) || written == 0)
                return false;
            bytes += written;
            size -= written;
        }
        return true;
    }
    bool Close() override { return file_.Reset(); }

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

namespace {

FileError LastErrorUnless(BOOL succeeded)
{
    if (succeeded)
        return kFileOk;
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE; // a failure never reads as success
}

// A Windows path conversion that first reports the size it needs; the path unchanged when it
// fails.
template <typename Convert>
std::wstring Converted(const std::wstring& path, Convert convert)
{
    const DWORD size = convert(path.c_str(), nullptr, 0);
    if (size == 0)
        return path;
    std::wstring result(size, L'\0');
    const DWORD length = convert(path.c_str(), result.data(), size);
    if (length == 0 || length >= size)
        return path;
    result.resize(length);
    return result;
}

// The full, long (not 8.3) form of a folder, ending with a backslash.
std::wstring CanonicalFolder(const std::wstring& folder)
{
    std::wstring path = Converted(folder, [](const wchar_t* in, wchar_t* out, DWORD size) {
        return GetFullPathNameW(in, size, out, nullptr);
    });
    path = Converted(path, [](const wchar_t* in, wchar_t* out, DWORD size) {
        return GetLongPathNameW(in, out, size);
    });
    if (path.empty() || path.back() != L'\\')
        path += L'\\';
    return path;
}

} // namespace

FileError Win32Platform::RemoveFile(const std::wstring& path)
{
    return LastErrorUnless(::DeleteFileW(path.c_str()));
}

FileError Win32Platform::RenameFile(const std::wstring& from, const std::wstring& to)
{
    return LastErrorUnless(::MoveFileW(from.c_str(), to.c_str()));
}

FileError Win32Platform::CopyFileTo(const std::wstring& from, const std::wstring& to)
{
    return LastErrorUnless(::CopyFileW(from.c_str(), to.c_str(), FALSE));
}

bool Win32Platform::IsNormalFile(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes &
            (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) == 0;
}

bool Win32Platform::FileExists(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
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
                                          std::unique_ptr<WriteStream>* stream)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return LastErrorUnless(FALSE);
    *stream = std::make_unique<FileWriter>(file);
    return kFileOk;
}

bool Win32Platform::SameFolder(const std::wstring& a, const std::wstring& b)
{
    const std::wstring first = CanonicalFolder(a);
    const std::wstring second = CanonicalFolder(b);
    return CompareStringOrdinal(first.c_str(), static_cast<int>(first.size()), second.c_str(),
                                static_cast<int>(second.size()), TRUE) == CSTR_EQUAL;
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
            // "C:\" keeps its backslash; any other folder loses it.
            if (folder.size() > 1 && folder[folder.size() - 2] != L':')
                folder.pop_back();
            return folder;
        }
        buffer.resize(buffer.size() * 2);
    }
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
    HWND owner = owner_ && IsWindowVisible(owner_) ? owner_ : nullptr;
    MessageBoxW(owner, text.c_str(), kMessageTitle, MB_OK);
}

} // namespace kv
