// The platform operations on Windows.
#pragma once

#include <windows.h>

#include "platform/platform.h"

namespace kv {

class Win32Platform final : public Platform {
public:
    // Message boxes are modal to this window once it is on screen.
    void SetMessageOwner(HWND owner) { owner_ = owner; }

    long RegOpenLocalMachineKey(const std::wstring& subKey, std::uint32_t access,
                                RegKey* key) override;
    long RegReadValue(RegKey key, const std::wstring& valueName, std::uint32_t* type,
                      std::uint8_t* data, std::uint32_t* byteCount) override;
    void RegCloseKey(RegKey key) override;
    std::wstring AnsiToWide(const std::uint8_t* bytes, std::size_t count) override;

    bool IsNormalFile(const std::wstring& path) override;
    FileError OpenForReading(const std::wstring& path,
                             std::unique_ptr<ReadStream>* stream) override;
    FileError OpenToDelete(const std::wstring& path, std::unique_ptr<InstalledFile>* file) override;
    bool FolderIdentity(const std::wstring& folder, FolderId* id) override;
    FileError PinFolder(const std::wstring& folder, std::unique_ptr<Folder>* pinned) override;
    std::wstring PackageFolder() override;
    std::string PackageSums() override;
    std::unique_ptr<Sha256> NewSha256() override;
    void BlockSessionEnd(bool block) override;
    bool SessionEndBlocked() const { return sessionEndBlocked_; }
    std::uint32_t Milliseconds() override;
    void Pause(std::uint32_t milliseconds) override;

    void ShowMessage(const std::wstring& text) override;

private:
    HWND owner_ = nullptr;
    bool sessionEndBlocked_ = false;
};

// Owns a kernel handle and closes it once.
class ScopedHandle {
public:
    explicit ScopedHandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
    ~ScopedHandle() { Reset(); }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    HANDLE Get() const { return handle_; }
    bool Valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    // Closes the handle and reports whether the close succeeded.
    bool Reset()
    {
        const bool closed = !Valid() || CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        return closed;
    }

private:
    HANDLE handle_;
};

} // namespace kv
