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
constexpr FileError kErrorInvalidFunction = 1; // what a network share says to a folder flush
constexpr FileError kErrorFileMissing = 2;
constexpr FileError kErrorPathMissing = 3;
constexpr FileError kErrorAccessDenied = 5;
constexpr FileError kErrorNotEnoughMemory = 8;
constexpr FileError kErrorInvalidData = 13; // a packed file that does not expand
constexpr FileError kErrorWriteProtect = 19;
constexpr FileError kErrorCrc = 23; // a packed file that is not the one the vendor shipped
constexpr FileError kErrorWriteFault = 29;
constexpr FileError kErrorReadFault = 30;
constexpr FileError kErrorSharingViolation = 32;
constexpr FileError kErrorLockViolation = 33;
constexpr FileError kErrorNotSupported = 50;
constexpr FileError kErrorFileExists = 80;
constexpr FileError kErrorAlreadyExists = 183;
// A name that is a link (junction, symbolic link, a second hard link) or a folder where the
// updater wants a plain file of its own, or a folder reached through a link a standard user made.
constexpr FileError kErrorNotPlainFile = 1920; // ERROR_CANT_ACCESS_FILE

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

// A plain file this run holds open, never a link. What is done through it is done to this very
// file, whatever another program does with names meanwhile.
class HeldFile {
public:
    virtual ~HeldFile() = default;
    // Gives the file another name in its folder; fails when that name is taken.
    virtual FileError MoveTo(const std::wstring& name) = 0;
    // Deletes the file, also a read-only one; its name is free once every program lets go of it.
    // Nothing else may be done through it afterwards.
    virtual FileError Delete() = 0;
};

// A file held for moving or deleting: others may still read it, but nobody can write, delete or
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

// The file system's identity of a folder, however it is spelled (another drive letter, a share,
// a junction, a short name): its volume and its file ID there.
struct FolderId {
    std::uint64_t volume = 0;
    std::array<std::uint8_t, 16> file{};
    bool operator==(const FolderId& other) const
    {
        return volume == other.volume && file == other.file;
    }
    bool operator!=(const FolderId& other) const { return !(*this == other); }
};

// A folder this run holds open: until it is let go, neither it nor a folder above it can be
// renamed or replaced, and every name given to it is a name in this very folder, whatever
// happens to paths meanwhile. Names are plain file names, without a folder.
class Folder {
public:
    virtual ~Folder() = default;
    virtual bool Identity(FolderId* id) = 0;
    virtual Presence Probe(const std::wstring& name) = 0;
    // A new plain file (normal attributes); fails when the name is taken, by anything.
    virtual FileError Create(const std::wstring& name, std::unique_ptr<OutputFile>* file) = 0;
    // Opens a plain file with one link for reading, moving and deleting; refuses a link.
    virtual FileError Open(const std::wstring& name, std::unique_ptr<InstalledFile>* file) = 0;
    // Puts the folder's entries on the disk: renames in it survive a power cut once this returns.
    virtual FileError Flush() = 0;
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

    // Files by path. Each operation either completes or returns its error and changes nothing
    // else.
    // A normal file: present, not hidden, not system, not a folder.
    virtual bool IsNormalFile(const std::wstring& path) = 0;
    // Opened so that nobody else can write or delete it while it is read.
    virtual FileError OpenForReading(const std::wstring& path,
                                     std::unique_ptr<ReadStream>* stream) = 0;
    // As Folder::Open, for a file whose folder the run does not hold: a link at the name itself is
    // refused, one on the way to it is followed.
    virtual FileError OpenToDelete(const std::wstring& path,
                                   std::unique_ptr<InstalledFile>* file) = 0;
    virtual bool FolderIdentity(const std::wstring& folder, FolderId* id) = 0;
    // Opens a folder and holds it (see Folder). A junction or link on its way counts only when an
    // administrator or the system made it; one a standard user could have planted is refused.
    virtual FileError PinFolder(const std::wstring& folder, std::unique_ptr<Folder>* pinned) = 0;
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
