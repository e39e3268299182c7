// The family-edition update must refuse machines where the administration edition is installed,
// including for users without write access to HKLM.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/unit/fake_platform.h"
#include "update/edition_guard.h"

namespace kv {
namespace {

using test::FakePlatform;

const std::wstring kKey = L"SOFTWARE\\Zelvaric\\";
const std::wstring kExpectedRefusal =
    L"Error!!! Can't use the Family Version update on this computer, because it has the "
    L"administration version of Korvane installed. In order to update Korvane on this computer "
    L"use the Business Version update!";

constexpr std::uint32_t kRegDword = 4;
constexpr std::uint32_t kRegBinary = 3;

std::string Dword(std::uint32_t v)
{
    return {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
            static_cast<char>((v >> 16) & 0xFF), static_cast<char>((v >> 24) & 0xFF)};
}

struct GuardCase {
    const char* name;
    bool keyPresent;
    std::optional<std::string> value; // "Value32"; nothing = value missing
    std::uint32_t type;
    bool writeProtected; // the user may not open the key for writing
    std::uint32_t marker;
};

TEST(EditionGuard, ReadsMarkerAndRefusesOnlyTheAdministrationEdition)
{
    const GuardCase cases[] = {
        {"key missing", false, std::nullopt, kRegDword, false, 0},
        {"value missing", true, std::nullopt, kRegDword, false, 0},
        {"family edition", true, Dword(0), kRegDword, false, 0},
        {"marker 1", true, Dword(1), kRegDword, false, 1},
        {"administration edition", true, Dword(2), kRegDword, false, 2},
        {"administration edition, non-admin user", true, Dword(2), kRegDword, true, 2},
        {"marker 3", true, Dword(3), kRegDword, false, 3},
        {"2 in a higher byte", true, Dword(0x0200), kRegDword, false, 0x0200},
        {"high bits", true, Dword(0xFFFFFFFE), kRegDword, false, 0xFFFFFFFE},
        // Too long: the read fails even though the buffer was given the first four bytes.
        {"eight bytes starting with 2", true, Dword(2) + Dword(0), kRegBinary, false, 0},
        {"five bytes starting with 2", true, Dword(2) + "x", kRegBinary, false, 0},
        // Shorter data fills only the low bytes of a marker that starts at zero.
        {"one byte 2", true, std::string(1, '\2'), kRegBinary, false, 2},
        {"empty value", true, std::string(), kRegBinary, false, 0},
    };
    for (const GuardCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto arrange = [&c](FakePlatform& fake) {
            if (c.keyPresent) {
                fake.registry[kKey];
                fake.PutValue(kKey, L"Value64", Dword(2), kRegDword); // a neighbour, not ours
                if (c.value)
                    fake.PutValue(kKey, L"Value32", *c.value, c.type);
            }
            if (c.writeProtected)
                fake.writeProtectedKeys.insert(kKey);
        };

        FakePlatform reader;
        arrange(reader);
        EXPECT_EQ(ReadEditionMarker(reader), c.marker);
        EXPECT_EQ(reader.openKeys, 0);
        EXPECT_TRUE(reader.messages.empty());

        FakePlatform guard;
        arrange(guard);
        const bool refused = c.marker == 2;
        EXPECT_EQ(EditionAllowsUpdate(guard), !refused);
        EXPECT_EQ(guard.messages,
                  refused ? std::vector<std::wstring>{kExpectedRefusal} : std::vector<std::wstring>{});
        EXPECT_EQ(guard.openKeys, 0);
        EXPECT_EQ(guard.accessRequested, std::vector<std::uint32_t>{kKeyQueryValue});
    }
}

} // namespace
} // namespace kv
