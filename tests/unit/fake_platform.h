// An in-memory Windows for the updater's logic: a registry, and files that behave as Windows
// files do where it matters (read-only files refuse deletion and overwriting, a file held by
// another program cannot move, brief locks clear with time, a deleted file another program holds
// stays "delete pending" until it lets go, a disk fills up, what was never flushed - contents or
// renames - may be lost in a power cut), on a clock that only Pause moves. Message boxes are
// recorded. Any file operation can be made to fail by kind and path, and the whole machine can
// stop dead after any change it makes to the disk.
#pragma once

#include <openssl/evp.h>

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

enum class Op { Delete, Rename, Open, Read, Write, Flush, Attributes };
constexpr FileError kAlreadyExists = 183;

struct FakeFile {
    std::string bytes;
    bool readOnly = false, hidden = false, system = false;
    std::uint32_t lockedUntil = 0; // held open without sharing until this many ms have passed
    std::uint32_t viewedUntil = 0; // held by a viewer that lets others only read, until then
    std::uint32_t heldUntil = 0;   // held open with delete sharing (a scanner) until then
    bool durable = true;           // on the disk itself, not only in the cache
};

// The machine stopped: thrown past the updater's own error handling, as a power cut would be.
struct PowerCut {};

class FakePlatform : public Platform {
public:
    std::map<std::wstring, FakeFile> files;
    std::map<std::wstring, std::uint32_t> deletePending; // name: reserved until then
    std::map<std::wstring, std::wstring> sameFolderAs;   // another spelling of one folder
    std::map<std::wstring, std::map<std::wstring, std::pair<std::uint32_t, std::string>>> registry;
    std::set<std::wstring> writeProtectedKeys; // opening them for more than reading fails
    std::set<std::pair<Op, std::wstring>> faults;
    std::wstring packageFolder = L"C:\\Package\\";
    std::string sums; // built into the updater
    // What the boxes said, each with what must never hold while one shows: " [a file held]" when
    // the update held a file open, " [session end blocked]" while Windows was asked to wait.
    std::vector<std::wstring> messages;
    bool sessionEndBlocked = false, sessionEndBlockedAtCut = false;
    std::vector<std::pair<std::wstring, std::wstring>> unflushedRenames; // from, to
    std::uint64_t freeBytes = std::uint64_t{1} << 40;                    // on the disk
    int changes = 0, cutAfterChanges = -1; // a power cut right after that many changes
    // The clock, like GetTickCount, wraps round; it starts just before it does.
    const std::uint32_t start = 0xFFFFF000;
    std::uint32_t now = start;
    int openKeys = 0;
    std::map<std::wstring, int> ours; // files the updater holds open, by name

    void PutValue(const std::wstring& key, const std::wstring& name, std::string bytes,
                  std::uint32_t type = 1)
    {
        registry[key][name] = {type, std::move(bytes)};
    }
    // After a power cut: what had not reached the disk is gone, half of it at best, and so are
    // the renames since the folder was last flushed.
    void Restart()
    {
        for (auto& [path, file] : files)
            if (!file.durable)
                file.bytes.resize(file.bytes.size() / 2), file.durable = true;
        for (auto undo = unflushedRenames.rbegin(); undo != unflushedRenames.rend(); ++undo)
            if (files.count(undo->second) && !files.count(undo->first))
                files[undo->first] = files[undo->second], files.erase(undo->second);
        unflushedRenames.clear();
        cutAfterChanges = -1;
    }

    long RegOpenLocalMachineKey(const std::wstring& subKey, std::uint32_t access,
                                RegKey* key) override
    {
        const auto it = registry.find(subKey);
        if (it == registry.end())
            return kErrorFileNotFound;
        if (writeProtectedKeys.count(subKey) && access != kKeyQueryValue)
            return kErrorAccessDenied;
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
        if (const FileError e = Check(Op::Delete, path))
            return e;
        if (files[path].readOnly)
            return kErrorAccessDenied;
        if (ours[path] > 0) // our own handle, opened without delete sharing
            return kErrorSharingViolation;
        if (Held(files[path].heldUntil))
            deletePending[path] = files[path].heldUntil;
        freeBytes += files[path].bytes.size();
        files.erase(path);
        return Changed();
    }
    FileError MakeWritable(const std::wstring& path) override
    {
        if (const FileError e = Check(Op::Attributes, path))
            return e;
        files[path].readOnly = false;
        return Changed();
    }
    bool IsNormalFile(const std::wstring& path) override
    {
        const auto it = files.find(path);
        return it != files.end() && !it->second.hidden && !it->second.system;
    }
    Presence Probe(const std::wstring& path) override
    {
        if (Pending(path) || faults.count({Op::Attributes, path}))
            return Presence::Unknown;
        return files.count(path) ? Presence::File : Presence::Absent;
    }
    // A read fault strikes half-way through the file, as on a scratched CD.
    FileError OpenForReading(const std::wstring& path, std::unique_ptr<ReadStream>* stream) override
    {
        if (const FileError e = Check(Op::Open, path))
            return e;
        const std::string& bytes = files[path].bytes;
        *stream = std::make_unique<MemoryReader>(
            reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
            5, // a file may arrive in pieces
            faults.count({Op::Read, path}) ? bytes.size() / 2 : kNoLimit);
        return kFileOk;
    }
    FileError CreateForWriting(const std::wstring& path,
                               std::unique_ptr<OutputFile>* stream) override
    {
        const auto it = files.find(path);
        if (faults.count({Op::Write, path}) || Pending(path) ||
            (it != files.end() && (it->second.readOnly || it->second.hidden)))
            return kErrorAccessDenied;
        if (it != files.end() && (Held(it->second.lockedUntil) || Held(it->second.viewedUntil)))
            return kErrorSharingViolation;
        if (it != files.end())
            freeBytes += it->second.bytes.size();
        files[path] = FakeFile{};
        files[path].durable = false;
        Changed();
        *stream = std::make_unique<Writer>(*this, path);
        return kFileOk;
    }
    FileError OpenForMoving(const std::wstring& path, std::unique_ptr<InstalledFile>* file) override
    {
        if (const FileError e = Check(Op::Open, path))
            return e;
        if (Held(files[path].viewedUntil))
            return kErrorSharingViolation;
        *file = std::make_unique<Mover>(*this, path);
        return kFileOk;
    }
    FileError FlushFolder(const std::wstring& folder) override
    {
        if (faults.count({Op::Flush, folder}))
            return kErrorWriteFault;
        const auto inFolder = [&](auto& move) { return move.second.rfind(folder, 0) == 0; };
        unflushedRenames.erase(
            std::remove_if(unflushedRenames.begin(), unflushedRenames.end(), inFolder),
            unflushedRenames.end());
        return kFileOk;
    }
    bool SameFolder(const std::wstring& a, const std::wstring& b) override
    {
        return Identity(a) == Identity(b);
    }
    std::wstring PackageFolder() override { return packageFolder; }
    std::string PackageSums() override { return sums; }
    std::unique_ptr<Sha256> NewSha256() override { return std::make_unique<OpenSslSha256>(); }
    void BlockSessionEnd(bool block) override { sessionEndBlocked = block; }
    std::uint32_t Milliseconds() override { return now; }
    void Pause(std::uint32_t milliseconds) override { now += milliseconds; }
    void ShowMessage(const std::wstring& text) override
    {
        const bool held = std::any_of(ours.begin(), ours.end(), [](auto& o) { return o.second; });
        messages.push_back(text + (held ? L" [a file held]" : L"") +
                           (sessionEndBlocked ? L" [session end blocked]" : L""));
    }

    // The SHA-256 of some bytes, as sha256sum prints it.
    static std::string HexSha256(const std::string& bytes)
    {
        unsigned char digest[32];
        EVP_Digest(bytes.data(), bytes.size(), digest, nullptr, EVP_sha256(), nullptr);
        std::string hex;
        for (const unsigned char byte : digest)
            hex += "0123456789abcdef"[byte >> 4], hex += "0123456789abcdef"[byte & 15];
        return hex;
    }

private:
    struct OpenSslSha256 final : Sha256 {
        OpenSslSha256() { EVP_DigestInit_ex(context, EVP_sha256(), nullptr); }
        ~OpenSslSha256() override { EVP_MD_CTX_free(context); }
        void Add(const void* data, std::uint32_t size) override
        {
            EVP_DigestUpdate(context, data, size);
        }
        bool Finish(Sha256Digest* digest) override
        {
            return EVP_DigestFinal_ex(context, digest->data(), nullptr) == 1;
        }
        EVP_MD_CTX* context = EVP_MD_CTX_new();
    };

    // One of the updater's own handles; renames through it move the file it holds.
    struct Handle {
        Handle(FakePlatform& fake, std::wstring path) : fake(fake), path(std::move(path))
        {
            ++fake.ours[this->path];
        }
        ~Handle() { --fake.ours[path]; }
        FileError Move(const std::wstring& to)
        {
            if (const FileError e = fake.Check(Op::Rename, path))
                return e;
            if (fake.files.count(to))
                return kAlreadyExists;
            if (fake.Pending(to))
                return kErrorAccessDenied;
            fake.files[to] = fake.files[path];
            fake.files.erase(path);
            fake.unflushedRenames.emplace_back(path, to);
            --fake.ours[path], ++fake.ours[to];
            path = to;
            return fake.Changed();
        }
        FakePlatform& fake;
        std::wstring path;
    };

    struct Writer final : OutputFile, Handle {
        using Handle::Handle;
        bool Write(const void* data, std::size_t size) override
        {
            if (size > fake.freeBytes)
                return false;
            fake.freeBytes -= size;
            fake.files.at(path).bytes.append(static_cast<const char*>(data), size);
            fake.files.at(path).durable = false;
            return fake.Changed() == kFileOk;
        }
        bool Flush() override
        {
            if (fake.faults.count({Op::Flush, path}))
                return false;
            fake.files.at(path).durable = true;
            return fake.Changed() == kFileOk;
        }
        bool Close() override { return true; }
        FileError MoveTo(const std::wstring& to) override { return Move(to); }
    };

    struct Mover final : InstalledFile, Handle {
        Mover(FakePlatform& fake, const std::wstring& path)
            : Handle(fake, path), bytes(fake.files[path].bytes),
              reader(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), 5,
                     fake.faults.count({Op::Read, path}) ? bytes.size() / 2 : kNoLimit)
        {
        }
        bool Read(void* buffer, std::size_t capacity, std::size_t* got) override
        {
            return reader.Read(buffer, capacity, got);
        }
        std::uint64_t Size() override { return bytes.size(); }
        FileError MoveTo(const std::wstring& to) override { return Move(to); }
        const std::string bytes;
        MemoryReader reader;
    };

    FileError Changed()
    {
        if (++changes == cutAfterChanges) {
            sessionEndBlockedAtCut = sessionEndBlocked;
            throw PowerCut{};
        }
        return kFileOk;
    }
    // The common refusals: an injected fault, a name being deleted, a missing source, a holder
    // that shares nothing, or only reading.
    FileError Check(Op op, const std::wstring& path)
    {
        if (faults.count({op, path}) || Pending(path))
            return kErrorAccessDenied;
        if (!files.count(path))
            return kErrorFileMissing;
        const FakeFile& file = files[path];
        return Held(file.lockedUntil) || (op != Op::Open && Held(file.viewedUntil))
                   ? kErrorSharingViolation
                   : kFileOk;
    }
    bool Held(std::uint32_t until) const { return now - start < until; }
    bool Pending(const std::wstring& path) const
    {
        const auto it = deletePending.find(path);
        return it != deletePending.end() && Held(it->second);
    }
    // Folders as the file system knows them: letter case and spelling do not count.
    std::wstring Identity(std::wstring path) const
    {
        std::transform(path.begin(), path.end(), path.begin(), ::towlower);
        if (path.back() != L'\\')
            path += L'\\';
        const auto alias = sameFolderAs.find(path);
        return alias == sameFolderAs.end() ? path : alias->second;
    }

    std::vector<const std::map<std::wstring, std::pair<std::uint32_t, std::string>>*> keys_;
};

} // namespace kv::test
