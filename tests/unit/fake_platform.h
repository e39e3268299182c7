// An in-memory machine for the updater's logic: a registry, a file system with the faults
// Windows can show (locked files, hidden and system files, folders that refuse writes), and
// a record of every message box. Any operation can be made to fail by kind and path.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace kv::test {

enum class Op { Delete, Rename, Copy, Read, Write };

struct FakeFile {
    std::string bytes;
    bool hidden = false;
    bool system = false;
    bool locked = false; // held open by another program without sharing
};

struct FakeValue {
    std::uint32_t type = 1; // REG_SZ
    std::string bytes;
};

class FakePlatform : public Platform {
public:
    // --- state the tests arrange and inspect ---
    std::map<std::wstring, FakeFile> files;
    std::set<std::wstring> readOnlyFolders;        // creating files in them fails
    std::map<std::wstring, std::map<std::wstring, FakeValue>> registry;
    std::set<std::wstring> writeProtectedKeys;     // open with more than query access fails
    std::set<std::pair<Op, std::wstring>> faults;  // these operations fail, every time
    std::wstring packageFolder = L"C:\\Package";
    std::vector<std::wstring> messages;
    std::vector<std::uint32_t> accessRequested;
    int openKeys = 0;

    void PutFile(const std::wstring& path, std::string bytes) { files[path].bytes = std::move(bytes); }
    bool Has(const std::wstring& path) const { return files.count(path) != 0; }
    std::string Bytes(const std::wstring& path) const
    {
        const auto it = files.find(path);
        return it == files.end() ? std::string("<missing>") : it->second.bytes;
    }
    void PutValue(const std::wstring& key, const std::wstring& name, std::string bytes,
                  std::uint32_t type = 1)
    {
        registry[key][name] = FakeValue{type, std::move(bytes)};
    }

    // --- Platform ---
    long RegOpenLocalMachineKey(const std::wstring& subKey, std::uint32_t access, RegKey* key) override
    {
        accessRequested.push_back(access);
        const auto it = registry.find(subKey);
        if (it == registry.end())
            return kErrorFileNotFound;
        if (writeProtectedKeys.count(subKey) && (access & ~kKeyQueryValue & 0xFFFF) != 0)
            return 5; // ERROR_ACCESS_DENIED
        keys_.push_back(&it->second);
        *key = keys_.size();
        ++openKeys;
        return kErrorSuccess;
    }

    long RegReadValue(RegKey key, const std::wstring& valueName, std::uint32_t* type,
                       std::uint8_t* data, std::uint32_t* byteCount) override
    {
        if (key == 0 || key > keys_.size() || keys_[key - 1] == nullptr)
            return 6; // ERROR_INVALID_HANDLE
        const auto& values = *keys_[key - 1];
        const auto it = values.find(valueName);
        if (it == values.end())
            return kErrorFileNotFound;
        const std::string& bytes = it->second.bytes;
        if (type)
            *type = it->second.type;
        if (bytes.size() > *byteCount) {
            // Windows leaves the buffer undefined here; fill it to catch readers that trust it.
            std::memcpy(data, bytes.data(), *byteCount);
            *byteCount = static_cast<std::uint32_t>(bytes.size());
            return kErrorMoreData;
        }
        std::memcpy(data, bytes.data(), bytes.size());
        *byteCount = static_cast<std::uint32_t>(bytes.size());
        return kErrorSuccess;
    }

    void RegCloseKey(RegKey key) override
    {
        if (key == 0 || key > keys_.size() || keys_[key - 1] == nullptr)
            return;
        keys_[key - 1] = nullptr;
        --openKeys;
    }

    std::wstring AnsiToWide(const std::uint8_t* bytes, std::size_t count) override
    {
        return std::wstring(bytes, bytes + count); // Latin-1 stands in for the ANSI code page
    }

    bool RemoveFile(const std::wstring& path) override
    {
        if (Faulty(Op::Delete, path))
            return false;
        const auto it = files.find(path);
        if (it == files.end() || it->second.locked)
            return false;
        files.erase(it);
        return true;
    }

    bool RenameFile(const std::wstring& from, const std::wstring& to) override
    {
        if (Faulty(Op::Rename, from))
            return false;
        const auto it = files.find(from);
        if (it == files.end() || it->second.locked || files.count(to) || !Writable(to))
            return false;
        FakeFile moved = it->second;
        files.erase(it);
        files[to] = moved;
        return true;
    }

    bool CopyFileTo(const std::wstring& from, const std::wstring& to) override
    {
        if (Faulty(Op::Copy, to))
            return false;
        const auto source = files.find(from);
        if (source == files.end() || source->second.locked || !Writable(to))
            return false;
        const auto target = files.find(to);
        if (target != files.end() && (target->second.locked || target->second.hidden))
            return false; // Windows refuses to copy over a hidden file
        files[to].bytes = source->second.bytes;
        return true;
    }

    bool IsNormalFile(const std::wstring& path) override
    {
        const auto it = files.find(path);
        return it != files.end() && !it->second.hidden && !it->second.system;
    }

    bool FileExists(const std::wstring& path) override { return files.count(path) != 0; }

    std::unique_ptr<ReadStream> OpenForReading(const std::wstring& path) override
    {
        const auto it = files.find(path);
        if (Faulty(Op::Read, path) || it == files.end() || it->second.locked)
            return nullptr;
        return std::make_unique<Reader>(it->second.bytes);
    }

    std::unique_ptr<WriteStream> CreateForWriting(const std::wstring& path) override
    {
        const auto it = files.find(path);
        if (Faulty(Op::Write, path) || !Writable(path) ||
            (it != files.end() && (it->second.locked || it->second.hidden)))
            return nullptr;
        files[path].bytes.clear();
        return std::make_unique<Writer>(files[path].bytes);
    }

    std::wstring PackageFolder() override { return packageFolder; }

    void ShowMessage(const std::wstring& text) override { messages.push_back(text); }

private:
    struct Reader : ReadStream {
        explicit Reader(std::string bytes) : bytes(std::move(bytes)) {}
        bool Read(void* buffer, std::size_t capacity, std::size_t* got) override
        {
            *got = std::min(capacity, bytes.size() - offset);
            std::memcpy(buffer, bytes.data() + offset, *got);
            offset += *got;
            return true;
        }
        std::string bytes;
        std::size_t offset = 0;
    };

    struct Writer : WriteStream {
        explicit Writer(std::string& target) : target(target) {}
        bool Write(const void* data, std::size_t size) override
        {
            target.append(static_cast<const char*>(data), size);
            return true;
        }
        bool Close() override { return true; }
        std::string& target;
    };

    bool Faulty(Op op, const std::wstring& path) const { return faults.count({op, path}) != 0; }

    bool Writable(const std::wstring& path) const
    {
        const auto slash = path.find_last_of(L'\\');
        const std::wstring folder = slash == std::wstring::npos ? L"" : path.substr(0, slash);
        return readOnlyFolders.count(folder) == 0;
    }

    std::vector<const std::map<std::wstring, FakeValue>*> keys_;
};

} // namespace kv::test
