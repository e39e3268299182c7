#include "platform/platform_win.h"

#include <vector>

#include "app/product.h"

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

bool Win32Platform::RemoveFile(const std::wstring& path)
{
    return ::DeleteFileW(path.c_str());
}

bool Win32Platform::RenameFile(const std::wstring& from, const std::wstring& to)
{
    return ::MoveFileW(from.c_str(), to.c_str());
}

bool Win32Platform::CopyFileTo(const std::wstring& from, const std::wstring& to)
{
    return ::CopyFileW(from.c_str(), to.c_str(), FALSE);
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

std::unique_ptr<ReadStream> Win32Platform::OpenForReading(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    return std::make_unique<FileReader>(file);
}

std::unique_ptr<WriteStream> Win32Platform::CreateForWriting(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    return std::make_unique<FileWriter>(file);
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

void Win32Platform::ShowMessage(const std::wstring& text)
{
    HWND owner = owner_ && IsWindowVisible(owner_) ? owner_ : nullptr;
    MessageBoxW(owner, text.c_str(), kMessageTitle, MB_OK);
}

} // namespace kv
