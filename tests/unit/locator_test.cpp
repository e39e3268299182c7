// Finding the installed Korvane through the registry, and refusing the wrong edition: how the
// registry's bytes become paths and markers, and when the user is told.
#include <gtest/gtest.h>

#include <optional>

#include "locate/locator.h"
#include "tests/unit/fake_platform.h"
#include "update/edition_guard.h"

namespace kv {
namespace {

using test::FakePlatform;

const std::wstring kProduct = L"SOFTWARE\\Quillmarsh\\Korvane\\";
const std::wstring kEdition = L"SOFTWARE\\Zelvaric\\";
const std::wstring kNotFound =
    L"This program could not resolve the path of the exe-file of Korvane. Please contact "
    L"support@korvane.example";
constexpr std::uint32_t kSz = 1, kBinary = 3;

TEST(LocateInstallation, FindsTheExecutableOrShowsNotFound)
{
    const std::string nul(1, '\0'), a396(396, 'A'), a397(397, 'A');
    const std::wstring long399 = L"C:\\" + std::wstring(396, L'A');
    const std::wstring long400 = long399 + L"A";
    const struct {
        const char* name;
        std::optional<std::string> value; // "Help_Dir"; nothing = missing
        std::uint32_t type;
        std::wstring folder; // where the file is put, and the folder found unless `found` is false
        const wchar_t* file = L"korv5.exe";
        bool found = true, hidden = false, system = false;
    } cases[] = {
        {"plain folder", "C:\\Korvane" + nul, kSz, L"C:\\Korvane\\"},
        {"ends with backslash", "C:\\Korvane\\" + nul, kSz, L"C:\\Korvane\\"},
        {"spaces around", "  D:\\K  " + nul, kSz, L"D:\\K\\"},
        {"spaces then backslash", "C:\\K\\   " + nul, kSz, L"C:\\K\\"},
        {"tabs stay", "\tD:\\K\t" + nul, kSz, L"\tD:\\K\t\\"},
        {"cut at NUL", "C:\\K  " + nul + "C:\\Other" + nul, kSz, L"C:\\K\\"},
        {"binary without NUL", "C:\\K", kBinary, L"C:\\K\\"},
        {"empty", nul, kSz, L"\\"},
        {"only spaces", "   " + nul, kSz, L"\\"},
        {"400 bytes with NUL", "C:\\" + a396 + nul, kSz, long399 + L"\\"},
        {"400 bytes without NUL", "C:\\" + a397, kBinary, long400 + L"\\"},
        {"401 bytes", "C:\\" + a397 + nul, kSz, long400 + L"\\", L"korv5.exe", false},
        {"hidden executable", "C:\\K" + nul, kSz, L"C:\\K\\", L"korv5.exe", false, true},
        {"system executable", "C:\\K" + nul, kSz, L"C:\\K\\", L"korv5.exe", false, false, true},
        {"only the help file", "C:\\K" + nul, kSz, L"C:\\K\\", L"korv.hlp", false},
        {"only the backup of an interrupted update", "C:\\K" + nul, kSz, L"C:\\K\\",
         L"korv5.exe.backup"},
        {"a hidden backup", "C:\\K" + nul, kSz, L"C:\\K\\", L"korv5.exe.backup", false, true},
        {"value missing", std::nullopt, kSz, L"C:\\K\\", L"korv5.exe", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform fake;
        fake.PutValue(kProduct, L"Other", "C:\\Elsewhere" + nul);
        fake.writeProtectedKeys.insert(kProduct); // a user without write access to HKLM
        if (c.value)
            fake.PutValue(kProduct, L"Help_Dir", *c.value, c.type);
        fake.files[c.folder + c.file].hidden = c.hidden;
        fake.files[c.folder + c.file].system = c.system;

        const std::optional<Installation> found = LocateInstallation(fake);
        EXPECT_EQ(found ? found->exePath + L"|" + found->helpPath : L"",
                  c.found ? c.folder + L"korv5.exe|" + c.folder + L"korv.hlp" : L"");
        EXPECT_EQ(fake.messages,
                  found ? std::vector<std::wstring>{} : std::vector<std::wstring>{kNotFound});
        EXPECT_EQ(fake.openKeys, 0);
    }
    FakePlatform noKey;
    noKey.files[L"\\korv5.exe"].bytes = "exe";
    EXPECT_FALSE(LocateInstallation(noKey));
    EXPECT_EQ(noKey.messages, std::vector<std::wstring>{kNotFound});
}

TEST(EditionGuard, RefusesOnlyTheAdministrationEdition)
{
    const std::string two("\2\0\0\0", 4);
    const struct {
        std::optional<std::string> value32; // nothing: no key at all
        std::uint32_t marker;
    } cases[] = {
        {std::nullopt, 0}, {std::string("\1\0\0\0", 4), 1},
        {two, 2},          {std::string("\0\2\0\0", 4), 0x200},
        {two + two, 0}, // too long: the failed read leaves the buffer filled, and counts as 0
        {"\2", 2},      // shorter data fills only the low bytes of a marker that starts at 0
    };
    for (const auto& c : cases) {
        FakePlatform fake;
        if (c.value32) {
            fake.PutValue(kEdition, L"Value32", *c.value32, 4);
            fake.writeProtectedKeys.insert(kEdition);
        }
        EXPECT_EQ(ReadEditionMarker(fake), c.marker);
        EXPECT_EQ(EditionAllowsUpdate(fake), c.marker != 2);
        EXPECT_EQ(fake.messages.size(), c.marker == 2 ? 1u : 0u);
        EXPECT_EQ(fake.openKeys, 0);
    }
}

} // namespace
} // namespace kv
