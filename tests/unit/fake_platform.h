// An in-memory Windows for the updater's logic: a registry, and files that behave as Windows
// files do where it matters (attributes and streams travel with CopyFileW, read-only files
// refuse deletion and overwriting, brief locks clear with time), on a clock that only Pause
// moves. Message boxes are recorded. Any file operation can be made to fail by kind and path.
#pragma once

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "tests/szdd/memory_streams.h"

namespace kv::test {

enum class Op { Delete, Rename, Copy, Read, Write, Close };
constexpr FileError kAccessDenied = 5, kAlreadyExists = 183;
constexpr std::uint32_t kForever = 0xFFFFFFFF;

struct FakeFile {
    std::string bytes;
    bool readOnly = false, hidden = false, system = false;
    std::set<std::string> streams; // alternate data streams, e.g. the Mark of the Web
    std::uint32_t lockedUntil = 0; // held open without sharing until this many ms have passed
};

class FakePlatform : public Platform {
public:
    std::map<std::wstring, FakeFile> files;
    std::set<std::wstring> readOnlyFolders;
    std::map<std::wstring, std::map<std::wstring, std::pair<std::uint32_t, std::string>>> registry;
    std::set<std::wstring> writeProtectedKeys; // opening them for more than reading fails
    std::set<std::pair<Op, std::wstring>> faults;
    std::wstring packageFolder = L"C:\\Package";
    std::vector<std::wstring> messages;
    // The clock, like GetTickCount, wraps round; it starts just before it does.
    const std::uint32_t start = 0xFFFFF000;
    std::uint32_t now = start;
    int openKeys = 0;

    void PutValue(const std::wstring& key, const std::wstring& name, std::string bytes,
                  std::uint32_t type = 1)
    {
        registry[key][name] = {type, std::move(bytes)};
    }

    long RegOpenLocalMachineKey(const std::wstring& subKey, std::uint32_t access,
                                RegKey* key) override
    {
        const auto it = registry.find(subKey);
        if (it == registry.end())
            return kErrorFileNotFound;
        if (writeProtectedKeys.count(subKey) && access != kKeyQueryValue)
            return kAccessDenied;
        keys_.push_back(&it->second);
        *key = keys_.size();
        ++openKeys;
        return kErrorSuccess;
    }
    long RegReadValue(RegKey key, const std::wstring& name, std::uint32_t* type, std::uint8_t* data,
                      std::uint32_t* byteCount) override
    {
        if (key == 0 || key > keys_.size() || !keys_[key - 1])
            return 6; // ERROR_INVALID_HANDLE
        const auto it = keys_[key - 1]->find(name);
        if (it == keys_[key - 1]->end())
            return kErrorFileNotFound;
        const std::string& bytes = it->second.second;
        *type = it->second.first;
        // Windows leaves the buffer undefined when the data does not fit: fill it anyway.
        std::memcpy(data, bytes.data(), std::min<std::size_t>(bytes.size(), *byteCount));
        const bool fits = bytes.size() <= *byteCount;
        *byteCount = static_cast<std::uint32_t>(bytes.size());
        return fits ? kErrorSuccess : kErrorMoreData;
    }
    void RegCloseKey(RegKey key) override
    {
        keys_.at(key - 1) = nullptr;
        --openKeys;
    }
    std::wstring AnsiToWide(const std::uint8_t* bytes, std::size_t count) override
    {
        return std::wstring(bytes, bytes + count); // Latin-1 stands in for the ANSI code page
    }

    FileError RemoveFile(const std::wstring& path) override
    {
        if (const FileError e = Check(Op::Delete, path, path))
            return e;
        if (files[path].readOnly)
            return kAccessDenied;
        files.erase(path);
        return kFileOk;
    }
    FileError RenameFile(const std::wstring& from, const std::wstring& to) override
    {
        if (const FileError e = Check(Op::Rename, from, from))
            return e;
        if (files.count(to))
            return kAlreadyExists;
        if (!Writable(to))
            return kAccessDenied;
        files[to] = files[from];
        files.erase(from);
        return kFileOk;
    }
    FileError CopyFileTo(const std::wstring& from, const std::wstring& to) override
    {
        if (const FileError e = Check(Op::Copy, from, to))
            return e;
        if (Folded(from) == Folded(to) || Locked(to))
            return kErrorSharingViolation; // the source is open: the target cannot be
        const auto target = files.find(to);
        if (!Writable(to) ||
            (target != files.end() && (target->second.readOnly || target->second.hidden)))
            return kAccessDenied;
        files[to] = files[from]; // bytes, attributes and streams; a lock stays with its handle
        files[to].lockedUntil = 0;
        return kFileOk;
    }
    bool IsNormalFile(const std::wstring& path) override
    {
        const auto it = files.find(path);
        return it != files.end() && !it->second.hidden && !it->second.system;
    }
    bool FileExists(const std::wstring& path) override { return files.count(path) != 0; }
    FileError OpenForReading(const std::wstring& path, std::unique_ptr<ReadStream>* stream) override
    {
        if (const FileError e = Check(Op::Read, path, path))
            return e;
        const std::string& bytes = files[path].bytes;
        *stream = std::make_unique<MemoryReader>(
            reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
            5); // a file may arrive in pieces
        return kFileOk;
    }
    FileError CreateForWriting(const std::wstring& path,
                               std::unique_ptr<WriteStream>* stream) override
    {
        const auto it = files.find(path);
        if (faults.count({Op::Write, path}) || !Writable(path) ||
            (it != files.end() && (it->second.readOnly || it->second.hidden)))
            return kAccessDenied;
        if (Locked(path))
            return kErrorSharingViolation;
        files[path] = FakeFile{};
        *stream = std::make_unique<Writer>(files[path].bytes, !faults.count({Op::Close, path}));
        return kFileOk;
    }
    bool SameFolder(const std::wstring& a, const std::wstring& b) override
    {
        return Folded(a) == Folded(b);
    }
    std::wstring PackageFolder() override { return packageFolder; }
    std::uint32_t Milliseconds() override { return now; }
    void Pause(std::uint32_t milliseconds) override { now += milliseconds; }
    void ShowMessage(const std::wstring& text) override { messages.push_back(text); }

private:
    struct Writer : WriteStream {
        Writer(std::string& t, bool closes) : target(t), closes(closes) {}
        bool Write(const void* data, std::size_t size) override
        {
            target.append(static_cast<const char*>(data), size);
            return true;
        }
        bool Close() override { return closes; } // a full disk may tell only now
        std::string& target;
        bool closes;
    };

    // The common refusals: an injected fault, a missing source, a brief or lasting lock.
    FileError Check(Op op, const std::wstring& source, const std::wstring& faulty)
    {
        if (faults.count({op, faulty}))
            return kAccessDenied;
        if (!files.count(source))
            return kErrorFileNotFound;
        return Locked(source) ? kErrorSharingViolation : kFileOk;
    }
    bool Locked(const std::wstring& path) const
    {
        const auto it = files.find(path);
        return it != files.end() && now - start < it->second.lockedUntil;
    }
    bool Writable(const std::wstring& path) const
    {
        return !readOnlyFolders.count(path.substr(0, path.find_last_of(L'\\')));
    }
    // Paths as Windows compares them: letter case does not count.
    static std::wstring Folded(std::wstring path)
    {
        std::transform(path.begin(), path.end(), path.begin(), ::towlower);
        return path.back() == L'\\' ? path : path + L'\\';
    }

    std::vector<const std::map<std::wstring, std::pair<std::uint32_t, std::string>>*> keys_;
};

} // namespace kv::test
