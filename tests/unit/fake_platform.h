// An in-memory Windows for the updater's logic: a registry, and files that behave as Windows
// files do where it matters (read-only files refuse deletion and overwriting, a file held by
// another program cannot move, brief locks clear with time, a deleted file another program holds
// stays "delete pending" until it lets go, a disk fills up, what was never flushed - contents or
// renames - may be lost in a power cut; a path leads through junctions and symbolic links, a
// handle does not), on a clock that only Pause moves. Message boxes are recorded. Any file
// operation can be made to fail by kind and path, the whole machine can stop dead after any
// change it makes to the disk, and a standard user can swap a folder for a link to another one
// at any moment the updater calls the system.
#pragma once

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "tests/szdd/memory_streams.h"

namespace kv::test {

enum class Op { Delete, Rename, Open, Read, Write, Flush };

struct FakeFile {
    std::string bytes;
    bool readOnly = false, hidden = false, system = false;
    std::uint32_t lockedUntil = 0; // held open without sharing until this many ms have passed
    std::uint32_t viewedUntil = 0; // held by a viewer that lets others only read, until then
    std::uint32_t heldUntil = 0;   // held open with delete sharing (a scanner) until then
    bool durable = true;           // on the disk itself, not only in the cache
    std::wstring linkTo;           // a symbolic link: paths through it lead there
    FakeFile(std::string bytes = {}, bool readOnly = false)
        : bytes(std::move(bytes)), readOnly(readOnly)
    {
    }
};

// A folder that is a junction: paths through it lead to `target`. Only one an administrator or
// the system made is trusted.
struct Junction {
    std::wstring target;
    bool trusted = false;
};

// The machine stopped: thrown past the updater's own error handling, as a power cut would be.
struct PowerCut {};

class FakePlatform : public Platform {
public:
    std::map<std::wstring, FakeFile> files;
    std::map<std::wstring, std::uint32_t> deletePending; // name: reserved until then
    std::map<std::wstring, Junction> junctions;          // by the folder's path
    std::map<std::wstring, std::map<std::wstring, std::pair<std::uint32_t, std::string>>> registry;
    std::set<std::wstring> writeProtectedKeys; // opening them for more than reading fails
    std::map<std::pair<Op, std::wstring>, FileError> faults; // 0: the kind's usual error
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
    std::map<std::wstring, int> ours; // files and folders the updater holds open, by name
    // At the start of the system call with this number, a standard user swaps `attacked` for a
    // junction to `attackTarget` (for a new empty folder when that is empty), moving the folder
    // away; this fails while the folder, or one below it, is held.
    int calls = 0, attackAtCall = -1;
    std::wstring attacked = L"C:\\Korvane\\", attackTarget = L"C:\\Victim\\";
    std::map<std::wstring, FakeFile> attic; // the attacked folder's files, moved away

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

    bool IsNormalFile(const std::wstring& path) override
    {
        Tick();
        const auto it = files.find(Resolve(path));
        return it != files.end() && !it->second.hidden && !it->second.system;
    }
    // A read fault strikes half-way through the file, as on a scratched CD.
    FileError OpenForReading(const std::wstring& path, std::unique_ptr<ReadStream>* stream) override
    {
        Tick();
        const std::wstring real = Resolve(path);
        if (const FileError e = Check(Op::Open, real))
            return e;
        const std::string& bytes = files[real].bytes;
        *stream = std::make_unique<MemoryReader>(
            reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
            5, // a file may arrive in pieces
            faults.count({Op::Read, real}) ? bytes.size() / 2 : kNoLimit);
        return kFileOk;
    }
    FileError OpenToDelete(const std::wstring& path, std::unique_ptr<InstalledFile>* file) override
    {
        Tick();
        const std::size_t slash = path.find_last_of(L'\\') + 1;
        return OpenPlain(Resolve(path.substr(0, slash)) + path.substr(slash), file);
    }
    bool FolderIdentity(const std::wstring& folder, FolderId* id) override
    {
        Tick();
        *id = IdOf(Resolve(folder));
        return true;
    }
    FileError PinFolder(const std::wstring& folder, std::unique_ptr<Folder>* pinned) override
    {
        Tick();
        bool planted = false;
        const std::wstring real = Resolve(folder, &planted);
        if (planted)
            return kErrorNotPlainFile;
        if (const FileError e = Fault(Op::Open, real, kErrorAccessDenied))
            return e;
        *pinned = std::make_unique<Pinned>(*this, real);
        return kFileOk;
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

    // One of the updater's own handles, on a file or a folder. What is done through it is done to
    // this file, whatever its name.
    struct Handle {
        Handle(FakePlatform& fake, std::wstring path) : fake(fake), path(std::move(path))
        {
            ++fake.ours[this->path];
        }
        ~Handle() { --fake.ours[path]; }
        FakePlatform& fake;
        std::wstring path;
        FileError Move(const std::wstring& name)
        {
            const std::wstring to = path.substr(0, path.find_last_of(L'\\') + 1) + name;
            fake.Tick();
            if (const FileError e = fake.Check(Op::Rename, path))
                return e;
            if (fake.files.count(to))
                return kErrorAlreadyExists;
            if (fake.Pending(to))
                return kErrorAccessDenied;
            fake.files[to] = fake.files[path];
            fake.files.erase(path);
            fake.unflushedRenames.emplace_back(path, to);
            --fake.ours[path], ++fake.ours[to];
            path = to;
            return fake.Changed();
        }
        FileError Remove()
        {
            fake.Tick();
            if (const FileError e = fake.Check(Op::Delete, path))
                return e;
            if (fake.ours[path] > 1) // another of our handles, which shares no deletion
                return kErrorSharingViolation;
            FakeFile& file = fake.files[path];
            if (fake.Held(file.heldUntil))
                fake.deletePending[path] = file.heldUntil;
            fake.freeBytes += file.bytes.size();
            fake.files.erase(path);
            return fake.Changed();
        }
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
        FileError MoveTo(const std::wstring& name) override { return Move(name); }
        FileError Delete() override { return Remove(); }
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
        FileError MoveTo(const std::wstring& name) override { return Move(name); }
        FileError Delete() override { return Remove(); }
        const std::string bytes;
        MemoryReader reader;
    };

    // The installation folder held: names in it are names in this folder, not paths.
    struct Pinned final : Folder, Handle {
        using Handle::Handle;
        bool Identity(FolderId* id) override
        {
            fake.Tick();
            *id = fake.IdOf(path);
            return true;
        }
        Presence Probe(const std::wstring& name) override
        {
            fake.Tick();
            if (fake.Pending(path + name))
                return Presence::Unknown;
            return fake.files.count(path + name) ? Presence::File : Presence::Absent;
        }
        FileError Create(const std::wstring& name, std::unique_ptr<OutputFile>* file) override
        {
            const std::wstring at = path + name;
            fake.Tick();
            if (fake.faults.count({Op::Write, at}) || fake.Pending(at))
                return kErrorAccessDenied;
            if (fake.files.count(at))
                return kErrorFileExists;
            fake.files[at].durable = false;
            fake.Changed();
            *file = std::make_unique<Writer>(fake, at);
            return kFileOk;
        }
        FileError Open(const std::wstring& name, std::unique_ptr<InstalledFile>* file) override
        {
            fake.Tick();
            return fake.OpenPlain(path + name, file);
        }
        FileError Flush() override
        {
            fake.Tick();
            // A share cannot flush a folder (error 1 or 50), but its server has already made the
            // renames as lasting as they will be: a power cut here cannot undo them.
            const FileError error = fake.Fault(Op::Flush, path, kErrorWriteFault);
            if (error != kFileOk && error != kErrorInvalidFunction && error != kErrorNotSupported)
                return error;
            const auto inFolder = [&](auto& move) { return move.second.rfind(path, 0) == 0; };
            auto& renames = fake.unflushedRenames;
            renames.erase(std::remove_if(renames.begin(), renames.end(), inFolder), renames.end());
            return error;
        }
    };

    // Counts a system call, and lets the attack strike at its start.
    void Tick()
    {
        if (++calls != attackAtCall)
            return;
        for (const auto& [held, count] : ours)
            if (count > 0 && held.back() == L'\\' && held.rfind(attacked, 0) == 0)
                return; // the folder, or one below it, is held: it cannot be renamed away
        for (auto it = files.begin(); it != files.end();) {
            if (it->first.rfind(attacked, 0) != 0)
                ++it;
            else
                attic.insert(*it), it = files.erase(it);
        }
        if (attackTarget.empty())
            ++replaced[attacked];
        else
            junctions[attacked] = {attackTarget, false};
    }
    FileError OpenPlain(const std::wstring& real, std::unique_ptr<InstalledFile>* file)
    {
        if (const FileError e = Check(Op::Open, real))
            return e;
        if (!files[real].linkTo.empty())
            return kErrorNotPlainFile;
        if (Held(files[real].viewedUntil))
            return kErrorSharingViolation;
        *file = std::make_unique<Mover>(*this, real);
        return kFileOk;
    }
    FileError Changed()
    {
        if (++changes == cutAfterChanges) {
            sessionEndBlockedAtCut = sessionEndBlocked;
            throw PowerCut{};
        }
        return kFileOk;
    }
    // The error a fault the row injected gives (the kind's usual one unless the row names
    // another); 0 without one.
    FileError Fault(Op op, const std::wstring& path, FileError usual) const
    {
        const auto fault = faults.find({op, path});
        return fault == faults.end() ? kFileOk : fault->second ? fault->second : usual;
    }
    // The common refusals: an injected fault, a name being deleted, a missing source, a holder
    // that shares nothing, or only reading.
    FileError Check(Op op, const std::wstring& path)
    {
        if (const FileError e = Fault(op, path, kErrorAccessDenied))
            return e;
        if (Pending(path))
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
    // Where a path leads: through every junction on it (`planted`: one no administrator made), and
    // a symbolic link at its end.
    std::wstring Resolve(std::wstring path, bool* planted = nullptr) const
    {
        for (int hops = 0; hops < 8; ++hops) {
            const auto link = std::find_if(junctions.begin(), junctions.end(),
                                           [&](auto& j) { return path.rfind(j.first, 0) == 0; });
            if (link != junctions.end()) {
                path = link->second.target + path.substr(link->first.size());
                if (planted && !link->second.trusted)
                    *planted = true;
            } else if (const auto file = files.find(path);
                       file != files.end() && !file->second.linkTo.empty())
                path = file->second.linkTo;
        }
        return path;
    }
    // Folders as the file system knows them: letter case does not count, a new folder under an
    // old name is another folder.
    FolderId IdOf(std::wstring folder)
    {
        const int generation = replaced[folder];
        std::transform(folder.begin(), folder.end(), folder.begin(), ::towlower);
        FolderId id;
        id.volume = std::hash<std::wstring>()(folder) + generation;
        return id;
    }
    std::map<std::wstring, int> replaced; // how often a folder was swapped for a new one

    std::vector<const std::map<std::wstring, std::pair<std::uint32_t, std::string>>*> keys_;
};

} // namespace kv::test
