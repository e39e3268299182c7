// Finding the installed Korvane: how the registry's folder text becomes the executable's path,
// and when the updater must give up with the not-found message.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "locate/locator.h"
#include "tests/unit/fake_platform.h"

namespace kv {
namespace {

using test::FakeFile;
using test::FakePlatform;

const std::wstring kKey = L"SOFTWARE\\Quillmarsh\\Korvane\\";
const std::wstring kExpectedNotFound =
    L"This program could not resolve the path of the exe-file of Korvane. Please contact "
    L"support@korvane.example";

constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegBinary = 3;

std::wstring Wide(const std::string& s)
{
    return std::wstring(s.begin(), s.end());
}

TEST(CleanInstallFolder, TurnsRegistryTextIntoFolderWithBackslash)
{
    const std::wstring nul(1, L'\0');
    const struct {
        std::wstring raw;
        std::wstring folder;
    } cases[] = {
        {L"C:\\Programs\\Korvane", L"C:\\Programs\\Korvane\\"},
        {L"C:\\Programs\\Korvane\\", L"C:\\Programs\\Korvane\\"},
        {L"  D:\\K  ", L"D:\\K\\"},
        {L"C:\\K\\   ", L"C:\\K\\"},               // trimmed first, so no second backslash
        {L"  C:\\Program Files\\K  ", L"C:\\Program Files\\K\\"}, // inner spaces belong to the name
        {L"\tD:\\K\t", L"\tD:\\K\t\\"},              // only spaces are trimmed
        {L"C:\\K\u00A0", L"C:\\K\u00A0\\"},          // a no-break space is not a space
        {L"C:\\K" + nul + L"C:\\Other", L"C:\\K\\"}, // the text ends at the first NUL
        {L"C:\\K  " + nul + L"  junk", L"C:\\K\\"},  // cut, then trimmed
        {nul + L"C:\\K", L"\\"},
        {L"", L"\\"},
        {L"    ", L"\\"},
        {L"C:\\K" + std::wstring(396, L' '), L"C:\\K\\"}, // the rest of a space-filled buffer
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "raw of " << c.raw.size() << " chars: "
                                        << std::string(c.raw.begin(), c.raw.end()));
        EXPECT_EQ(CleanInstallFolder(c.raw), c.folder);
    }
}

struct LocateCase {
    const char* name;
    bool keyPresent;
    std::optional<std::string> value; // "Help_Dir" as stored; nothing = value missing
    std::uint32_t type;
    std::vector<std::pair<std::wstring, FakeFile>> files;
    std::optional<std::wstring> exePath; // nothing = not found
    std::wstring helpPath;
};

FakeFile Normal() { return FakeFile{"exe", false, false, false}; }
FakeFile Hidden() { return FakeFile{"exe", true, false, false}; }
FakeFile System() { return FakeFile{"exe", false, true, false}; }

std::vector<LocateCase> LocateCases()
{
    const std::string a396(396, 'A'), a397(397, 'A');
    const std::string nul(1, '\0');
    const std::wstring long399 = L"C:\\" + Wide(a396);
    const std::wstring long400 = L"C:\\" + Wide(a397);
    return {
        {"plain folder", true, "C:\\Programs\\Korvane" + nul, kRegSz,
         {{L"C:\\Programs\\Korvane\\korv5.exe", Normal()}},
         L"C:\\Programs\\Korvane\\korv5.exe", L"C:\\Programs\\Korvane\\korv.hlp"},
        {"folder already ends with backslash", true, "C:\\Programs\\Korvane\\" + nul, kRegSz,
         {{L"C:\\Programs\\Korvane\\korv5.exe", Normal()}},
         L"C:\\Programs\\Korvane\\korv5.exe", L"C:\\Programs\\Korvane\\korv.hlp"},
        {"spaces around the folder", true, "  D:\\K  " + nul, kRegSz,
         {{L"D:\\K\\korv5.exe", Normal()}}, L"D:\\K\\korv5.exe", L"D:\\K\\korv.hlp"},
        {"tabs are part of the folder", true, "\tD:\\K\t" + nul, kRegSz,
         {{L"\tD:\\K\t\\korv5.exe", Normal()}, {L"D:\\K\\korv5.exe", Normal()}},
         L"\tD:\\K\t\\korv5.exe", L"\tD:\\K\t\\korv.hlp"},
        {"NUL in the middle ends the folder", true, "C:\\K" + nul + "C:\\Other" + nul, kRegSz,
         {{L"C:\\K\\korv5.exe", Normal()}, {L"C:\\Other\\korv5.exe", Normal()}},
         L"C:\\K\\korv5.exe", L"C:\\K\\korv.hlp"},
        // Binary data without a NUL: the rest of the buffer stays as it was prefilled.
        {"short value without NUL", true, "C:\\K", kRegBinary,
         {{L"C:\\K\\korv5.exe", Normal()}}, L"C:\\K\\korv5.exe", L"C:\\K\\korv.hlp"},
        {"empty string", true, nul, kRegSz, {{L"\\korv5.exe", Normal()}}, L"\\korv5.exe",
         L"\\korv.hlp"},
        {"empty binary value", true, "", kRegBinary, {{L"\\korv5.exe", Normal()}},
         L"\\korv5.exe", L"\\korv.hlp"},
        {"exactly 400 bytes with NUL", true, "C:\\" + a396 + nul, kRegSz,
         {{long399 + L"\\korv5.exe", Normal()}}, long399 + L"\\korv5.exe",
         long399 + L"\\korv.hlp"},
        {"400 bytes without NUL", true, "C:\\" + a397, kRegBinary,
         {{long400 + L"\\korv5.exe", Normal()}}, long400 + L"\\korv5.exe",
         long400 + L"\\korv.hlp"},
        {"401 bytes with NUL do not fit", true, "C:\\" + a397 + nul, kRegSz,
         {{long400 + L"\\korv5.exe", Normal()}}, std::nullopt, L""},
        {"help file not needed", true, "C:\\K" + nul, kRegSz,
         {{L"C:\\K\\korv5.exe", Normal()}, {L"C:\\K\\korv.hlp", Hidden()}}, L"C:\\K\\korv5.exe",
         L"C:\\K\\korv.hlp"},
        {"only the help file", true, "C:\\K" + nul, kRegSz, {{L"C:\\K\\korv.hlp", Normal()}},
         std::nullopt, L""},
        {"hidden executable", true, "C:\\K" + nul, kRegSz, {{L"C:\\K\\korv5.exe", Hidden()}},
         std::nullopt, L""},
        {"system executable", true, "C:\\K" + nul, kRegSz, {{L"C:\\K\\korv5.exe", System()}},
         std::nullopt, L""},
        {"no executable at all", true, "C:\\K" + nul, kRegSz, {}, std::nullopt, L""},
        {"value missing", true, std::nullopt, kRegSz, {{L"C:\\K\\korv5.exe", Normal()}},
         std::nullopt, L""},
        {"key missing", false, std::nullopt, kRegSz, {{L"\\korv5.exe", Normal()}}, std::nullopt,
         L""},
    };
}

TEST(LocateInstallation, FindsTheExecutableOrShowsNotFound)
{
    for (const LocateCase& c : LocateCases()) {
        SCOPED_TRACE(c.name);
        FakePlatform fake;
        if (c.keyPresent) {
            fake.registry[kKey]; // the key exists even when the value does not
            fake.PutValue(kKey, L"Other", "C:\\Elsewhere");
            if (c.value)
                fake.PutValue(kKey, L"Help_Dir", *c.value, c.type);
        }
        for (const auto& [path, file] : c.files)
            fake.files[path] = file;

        const std::optional<Installation> found = LocateInstallation(fake);

        ASSERT_EQ(found.has_value(), c.exePath.has_value());
        if (found) {
            EXPECT_EQ(found->exePath, *c.exePath);
            EXPECT_EQ(found->helpPath, c.helpPath);
            EXPECT_TRUE(fake.messages.empty());
        } else {
            EXPECT_EQ(fake.messages, std::vector<std::wstring>{kExpectedNotFound});
        }
        EXPECT_EQ(fake.openKeys, 0);
        EXPECT_EQ(fake.accessRequested, std::vector<std::uint32_t>{kKeyQueryValue});
    }
}

TEST(LocateInstallation, NeedsOnlyReadAccessToTheProductKey)
{
    FakePlatform fake;
    fake.PutValue(kKey, L"Help_Dir", std::string("C:\\K") + '\0');
    fake.writeProtectedKeys.insert(kKey);
    fake.PutFile(L"C:\\K\\korv5.exe", "exe");

    ASSERT_TRUE(LocateInstallation(fake).has_value());
    EXPECT_EQ(fake.openKeys, 0);
}

// Records what the locator hands to the registry and the conversion, to check the buffer it
// reads into: 400 bytes of spaces, the full size offered, and all of it converted.
class QuerySpy : public FakePlatform {
public:
    std::wstring queriedName;
    std::uint32_t typeOnEntry = 0xDEADBEEF;
    std::uint32_t countOnEntry = 0;
    std::string bufferOnEntry;
    std::size_t convertedCount = 0;

    long RegReadValue(RegKey key, const std::wstring& valueName, std::uint32_t* type,
                       std::uint8_t* data, std::uint32_t* byteCount) override
    {
        queriedName = valueName;
        typeOnEntry = type ? *type : 0xDEADBEEF;
        countOnEntry = *byteCount;
        bufferOnEntry.assign(reinterpret_cast<const char*>(data), *byteCount);
        return FakePlatform::RegReadValue(key, valueName, type, data, byteCount);
    }

    std::wstring AnsiToWide(const std::uint8_t* bytes, std::size_t count) override
    {
        convertedCount = count;
        return FakePlatform::AnsiToWide(bytes, count);
    }
};

TEST(LocateInstallation, ReadsIntoAFullSpaceFilledBuffer)
{
    QuerySpy spy;
    spy.PutValue(kKey, L"Help_Dir", "C:\\K", kRegBinary);
    spy.PutFile(L"C:\\K\\korv5.exe", "exe");

    ASSERT_TRUE(LocateInstallation(spy).has_value());
    EXPECT_EQ(spy.queriedName, L"Help_Dir");
    EXPECT_EQ(spy.typeOnEntry, 0u);
    EXPECT_EQ(spy.countOnEntry, 400u);
    EXPECT_EQ(spy.bufferOnEntry, std::string(400, ' '));
    EXPECT_EQ(spy.convertedCount, 400u);
}

} // namespace
} // namespace kv
