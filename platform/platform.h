// The operating-system services the updater's logic relies on. Portable: the logic and its
// unit tests see only this interface; platform_win.cpp provides it on Windows and the tests
// provide an in-memory fake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kv {

// Registry access rights, with the values Windows gives them.
constexpr std::uint32_t kKeyQueryValue = 0x0001;
constexpr std::uint32_t kKeyAllAccess = 0xF003F;

// Registry return codes that the logic names; any non-zero code is a failure.
constexpr long kErrorSuccess = 0;
constexpr long kErrorFileNotFound = 2;
constexpr long kErrorMoreData = 234;

using RegKey = std::uintptr_t; // 0 means "no key"

// A file opened for reading; Read returns false on an I/O error and sets *got to 0 at the end.
class ReadStream {
public:
    virtual ~ReadStream() = default;
    virtual bool Read(void* buffer, std::size_t capacity, std::size_t* got) = 0;
};

// A file created for writing. Close reports whether everything reached the disk.
class WriteStream {
public:
    virtual ~WriteStream() = default;
    virtual bool Write(const void* data, std::size_t size) = 0;
    virtual bool Close() = 0;
};

class Platform {
public:
    virtual ~Platform() = default;

    // Registry, through the ANSI registry API under HKEY_LOCAL_MACHINE. Strings passed in are
    // converted to the system ANSI code page. Each call returns the registry's error code
    // (0 on success).
    virtual long RegOpenLocalMachineKey(const std::wstring& subKey, std::uint32_t access,
                                        RegKey* key) = 0;
    virtual long RegReadValue(RegKey key, const std::wstring& valueName, std::uint32_t* type,
                              std::uint8_t* data, std::uint32_t* byteCount) = 0;
    virtual void RegCloseKey(RegKey key) = 0;
    // Turns bytes in the system ANSI code page into a wide string, one character per
    // character, embedded NULs included.
    virtual std::wstring AnsiToWide(const std::uint8_t* bytes, std::size_t count) = 0;

    // Files. Each operation either completes or returns false and changes nothing else.
    virtual bool RemoveFile(const std::wstring& path) = 0;
    // Fails when the source is missing, the target exists or the file is locked.
    virtual bool RenameFile(const std::wstring& from, const std::wstring& to) = 0;
    // Overwrites an existing target.
    virtual bool CopyFileTo(const std::wstring& from, const std::wstring& to) = 0;
    // A normal file: present, not hidden, not system, not a folder.
    virtual bool IsNormalFile(const std::wstring& path) = 0;
    // Anything but a folder at the path, whatever its attributes.
    virtual bool FileExists(const std::wstring& path) = 0;
    virtual std::unique_ptr<ReadStream> OpenForReading(const std::wstring& path) = 0;
    // Creates or truncates the file.
    virtual std::unique_ptr<WriteStream> CreateForWriting(const std::wstring& path) = 0;
    // The folder holding the running updater; it ends with a backslash only at a drive root.
    virtual std::wstring PackageFolder() = 0;

    // An OK-only box titled "Korv_Update" without icon; returns when the user presses OK.
    virtual void ShowMessage(const std::wstring& text) = 0;
};

// Closes a registry key opened through a Platform when it goes out of scope.
class ScopedRegKey {
public:
    explicit ScopedRegKey(Platform& platform) : platform_(platform) {}
    ~ScopedRegKey()
    {
        if (key_ != 0)
            platform_.RegCloseKey(key_);
    }
    ScopedRegKey(const ScopedRegKey&) = delete;
    ScopedRegKey& operator=(const ScopedRegKey&) = delete;

    RegKey* Receive() { return &key_; }
    RegKey Get() const { return key_; }

private:
    Platform& platform_;
    RegKey key_ = 0;
};

} // namespace kv
