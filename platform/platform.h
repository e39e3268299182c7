// The operating-system services the updater's logic relies on. Portable: the logic and its
// unit tests see only this interface; platform_win.cpp provides it on Windows and the tests
// provide an in-memory fake.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kv {

// The registry access right the updater asks for, with the value Windows gives it.
constexpr std::uint32_t kKeyQueryValue = 0x0001;

// Registry return codes that the logic names; any non-zero code is a failure.
constexpr long kErrorSuccess = 0;
constexpr long kErrorFileNotFound = 2;
constexpr long kErrorMoreData = 234;

using RegKey = std::uintptr_t; // 0 means "no key"

// File operations return 0 on success, otherwise the Windows error code of the failure.
using FileError = std::uint32_t;
constexpr FileError kFileOk = 0;
constexpr FileError kErrorFileMissing = 2;
constexpr FileError kErrorPathMissing = 3;
constexpr FileError kErrorAccessDenied = 5;
constexpr FileError kErrorNotEnoughMemory = 8;
constexpr FileError kErrorWriteProtect = 19;
constexpr FileError kErrorCrc = 23; // a packed file that is not the one the vendor shipped
constexpr FileError kErrorSharingViolation = 32;
constexpr FileError kErrorLockViolation = 33;
constexpr FileError kErrorInvalidData = 13; // a packed file that does not expand
constexpr FileError kErrorWriteFault = 29;
constexpr FileError kErrorReadFault = 30;

// A file opened for reading; Read returns false on an I/O error and sets *got to 0 at the end.
class ReadStream {
public:
    virtual ~ReadStream() = default;
    virtual bool Read(void* buffer, std::size_t capacity, std::size_t* got) = 0;
};

// Where written bytes go. Close reports whether every byte was taken.
class WriteStream {
public:
    virtual ~WriteStream() = default;
    virtual bool Write(const void* data, std::size_t size) = 0;
    virtual bool Close() = 0;
};

// A file this run holds open. A rename through it moves this very file, whatever another program
// does with names meanwhile.
class HeldFile {
public:
    virtual ~HeldFile() = default;
    // Gives the file another name in the same folder; fails when that name is taken.
    virtual FileError MoveTo(const std::wstring& path) = 0;
};

// An installed file held for moving: others may still read it, but nobody can write, delete or
// rename it until it is let go.
class InstalledFile : public ReadStream, public HeldFile {
public:
    virtual std::uint64_t Size() = 0;
};

// A file created for writing and held without sharing until it is closed. Flush returns once
// everything written is on the disk itself, not only in the system's cache.
class OutputFile : public WriteStream, public HeldFile {
public:
    virtual bool Flush() = 0;
};

using Sha256Digest = std::array<std::uint8_t, 32>;

// The operating system's SHA-256.
class Sha256 {
public:
    virtual ~Sha256() = default;
    // The updater hashes what passes through its buffers: pieces far below 4 GiB.
    virtual void Add(const void* data, std::uint32_t size) = 0;
    // False when the system could not compute it.
    virtual bool Finish(Sha256Digest* digest) = 0;
};

// What the file system says of a name: a file is there, nothing is there, or it cannot tell
// (no access, a file being deleted, a folder of that name, a medium gone).
enum class Presence { Absent, File, Unknown };

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

    // Files. Each operation either completes or returns its error and changes nothing else.
    virtual FileError RemoveFile(const std::wstring& path) = 0;
    // Clears the read-only attribute.
    virtual FileError MakeWritable(const std::wstring& path) = 0;
    // A normal file: present, not hidden, not system, not a folder.
    virtual bool IsNormalFile(const std::wstring& path) = 0;
    virtual Presence Probe(const std::wstring& path) = 0;
    // Opened so that nobody else can write or delete it while it is read.
    virtual FileError OpenForReading(const std::wstring& path,
                                     std::unique_ptr<ReadStream>* stream) = 0;
    // Creates a new plain file (normal attributes), or truncates an existing one.
    virtual FileError CreateForWriting(const std::wstring& path,
                                       std::unique_ptr<OutputFile>* stream) = 0;
    // Opens a file so that it can be renamed and read, and nobody else can change it meanwhile.
    virtual FileError OpenForMoving(const std::wstring& path,
                                    std::unique_ptr<InstalledFile>* file) = 0;
    // Puts the folder's entries on the disk: renames in it survive a power cut once this returns.
    virtual FileError FlushFolder(const std::wstring& folder) = 0;
    // Whether two folders are one folder of the file system, however each is spelled (another
    // drive letter, a share, a junction, a short name).
    virtual bool SameFolder(const std::wstring& a, const std::wstring& b) = 0;
    // The folder holding the running updater, ending with a backslash.
    virtual std::wstring PackageFolder() = 0;

    // The SHA-256 sums of the packed files that this updater was built for, as sha256sum writes
    // them; empty for a build without them.
    virtual std::string PackageSums() = 0;
    // Null when the system offers no SHA-256.
    virtual std::unique_ptr<Sha256> NewSha256() = 0;

    // While blocked, Windows is asked not to end the session (log-off, shutdown).
    virtual void BlockSessionEnd(bool block) = 0;

    // A millisecond clock, and a wait during which the window stays responsive.
    virtual std::uint32_t Milliseconds() = 0;
    virtual void Pause(std::uint32_t milliseconds) = 0;

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
