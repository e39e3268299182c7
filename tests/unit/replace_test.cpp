// One press of Replace, on an in-memory Windows. Whatever goes wrong, the user must never be left
// without a complete copy of the previous version, and the message must match the disk.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "tests/unit/fake_platform.h"
#include "update/replace.h"

namespace kv {
namespace {

using test::FakeFile;
using test::FakePlatform;
using test::Op;
using R = ReplaceOutcome;

const std::wstring kSuccess = L"Old Version was successfully updated!";
const std::wstring kFailure =
    L"Error! Problems were encountered during the upgrade. Deinstall the old Korvane version and "
    L"do a new installation of the current version, which is available at "
    L"https://www.korvane.example/";
const std::wstring kRefusal =
    L"Error!!! Can't use the Family Version update on this computer, because it has the "
    L"administration version of Korvane installed. In order to update Korvane on this computer "
    L"use the Business Version update!";
const Installation kInstallation{L"C:\\Korvane\\korv5.exe", L"C:\\Korvane\\korv.hlp", {}};

std::wstring PathOf(const std::string& key, const std::wstring& package = L"C:\\Package\\")
{
    const std::wstring& exe = kInstallation.exePath;
    const std::wstring& help = kInstallation.helpPath;
    const std::map<std::string, std::wstring> paths = {
        {"E", exe},
        {"EB", exe + L".backup"},
        {"EN", exe + L".new"},
        {"H", help},
        {"HB", help + L".backup"},
        {"HN", help + L".new"},
        {"D", L"C:\\Korvane\\"}, // the installation folder
        {"V", L"C:\\Victim\\"},  // a folder of files the updater has no business with
        {"SE", package + L"korv5.exe"},
        {"SH", package + L"korv.hlp"},
        {"PE", package + L"korv5.ex_"},
        {"PH", package + L"korv.hl_"},
        {"U", package + L"KVUp511f.exe"}};
    return paths.at(key);
}

std::string PackSzdd(const std::string& data) // every byte a literal
{
    std::string out("SZDD\x88\xF0\x27\x33"
                    "Ae",
                    10);
    for (int shift = 0; shift < 32; shift += 8)
        out += static_cast<char>((data.size() >> shift) & 0xFF);
    for (std::size_t i = 0; i < data.size(); i += 8)
        out += '\xFF' + data.substr(i, 8);
    return out;
}

// Files and faults, word by word. "E:old H:new+ro" puts the old executable in korv5.exe and the
// new help file, read-only, in korv.hlp ("exe old", "help new": the content says which file and
// which version); "-PE" removes korv5.ex_; "!read:PE" makes reading it fail, "!flush=1:D" makes
// flushing the installation folder fail with error 1. The keys name the files of PathOf. Flags:
//   +ro       read-only                    +szdd   SZDD-packed
//   +cut      packed and cut short         +empty  empty
//   +link     a symbolic link to the file of the same name in the folder V
//   @N        locked until N ms             %N      held by a viewer that lets others only read
//   ~N        held with delete sharing (a scanner) until N ms
void Put(FakePlatform& fake, const std::string& text)
{
    static const std::string ops[] = {"delete", "rename", "open", "read", "write", "flush"};
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        const std::size_t colon = word.find(':');
        if (word[0] == '!') {
            const std::size_t equals = std::min(word.find('='), colon);
            const Op kind = Op(std::find(ops, std::end(ops), word.substr(1, equals - 1)) - ops);
            fake.faults[{kind, PathOf(word.substr(colon + 1), fake.packageFolder)}] =
                equals < colon ? std::stoul(word.substr(equals + 1)) : 0;
            continue;
        }
        if (word[0] == '-') {
            fake.files.erase(PathOf(word.substr(1), fake.packageFolder));
            continue;
        }
        const std::string key = word.substr(0, colon);
        const auto flag = [&](const char* name) { return word.find(name) != std::string::npos; };
        const std::string content = word.substr(colon + 1, word.find_first_of("+@~%") - colon - 1);
        const std::string kind = key == "U"                           ? ""
                                 : key.find('H') != std::string::npos ? "help "
                                                                      : "exe ";
        FakeFile& file = fake.files[PathOf(key, fake.packageFolder)] = FakeFile{};
        file.bytes = flag("+empty") ? "" : kind + content;
        file.readOnly = flag("+ro");
        if (flag("+link")) {
            const std::wstring path = PathOf(key, fake.packageFolder);
            file.linkTo = PathOf("V") + path.substr(path.find_last_of(L'\\') + 1);
        }
        if (flag("+szdd") || flag("+cut"))
            file.bytes = PackSzdd(kind + content).substr(0, flag("+cut") ? 15 : std::string::npos);
        for (const auto& [mark, until] : {std::pair{'@', &FakeFile::lockedUntil},
                                          {'%', &FakeFile::viewedUntil},
                                          {'~', &FakeFile::heldUntil}})
            if (const auto at = word.find(mark); at != std::string::npos)
                file.*until = std::stoul(word.substr(at + 1));
    }
}

// A row's machine: the package's own files (PE:new PH:new U:updater) in `pkg=FOLDER` or
// C:\Package\, with the updater carrying the sums of its packed files (none with "nosums"; of the
// same bytes under other names with "othersums"), then the words of the text; those after "|" are
// changes made after the package shipped.
FakePlatform Machine(const std::string& text)
{
    FakePlatform fake;
    const std::size_t bar = std::min(text.find('|'), text.size());
    std::istringstream words(text.substr(0, bar));
    std::string before;
    bool shipSums = true, otherNames = false;
    for (std::string word; words >> word;) {
        if (word.rfind("pkg=", 0) == 0)
            fake.packageFolder = std::wstring(word.begin() + 4, word.end());
        else if (word == "nosums")
            shipSums = false;
        else if (word == "othersums")
            otherNames = true;
        else
            before += word + " ";
    }
    fake.junctions[L"F:\\"] = {PathOf("D"), true};
    for (const char* name : {"korv5.exe", "korv.hlp", "korv5.exe.new", "korv.hlp.new",
                             "korv5.exe.backup", "korv.hlp.backup"})
        fake.files[PathOf("V") + std::wstring(name, name + std::strlen(name))] = {"victim", true};
    Put(fake, "PE:new PH:new U:updater " + before);
    for (const char* key : {"PE", "PH"}) {
        const std::wstring path = PathOf(key, fake.packageFolder);
        std::string name(path.begin() + path.find_last_of(L'\\') + 1, path.end());
        if (otherNames)
            name.back() = 'x'; // as long as the right name
        if (fake.files.count(path) && shipSums)
            fake.sums += FakePlatform::HexSha256(fake.files[path].bytes) + "  " + name + "\n";
    }
    Put(fake, text.substr(std::min(bar + 1, text.size())));
    return fake;
}

// The files' bytes, by path; those in a folder only, when given.
std::map<std::wstring, std::string> Contents(const std::map<std::wstring, FakeFile>& files,
                                             const std::wstring& folder = L"")
{
    std::map<std::wstring, std::string> contents;
    for (const auto& [path, file] : files)
        if (path.rfind(folder, 0) == 0)
            contents[path] = file.bytes;
    return contents;
}

// Each installed file's version from before the first press: installed, or in the backup an
// interrupted update left.
std::map<std::string, std::string> Previous(const std::map<std::wstring, std::string>& files)
{
    std::map<std::string, std::string> previous;
    for (const char* key : {"E", "H"}) {
        for (const std::wstring& path : {PathOf(key), PathOf(key) + L".backup"})
            if (files.count(path) && !previous.count(key))
                previous[key] = files.at(path);
    }
    return previous;
}

// The installation as the window found it.
Installation Found(FakePlatform& fake)
{
    Installation found = kInstallation;
    found.folder.emplace();
    fake.FolderIdentity(PathOf("D"), &*found.folder);
    return found;
}

// What no press may change, attributes and links included: every file outside the installation
// folder, but for a copy of a new file in the package folder, which older updaters left there.
std::map<std::wstring, std::string> Untouchable(const FakePlatform& fake)
{
    std::map<std::wstring, std::string> untouchable;
    for (const auto& [path, file] : fake.files) {
        const bool copy = (path == PathOf("SE", fake.packageFolder) && file.bytes == "exe new") ||
                          (path == PathOf("SH", fake.packageFolder) && file.bytes == "help new");
        if (path.rfind(PathOf("D"), 0) != 0 && !copy)
            untouchable[path] = file.bytes + (file.readOnly ? " ro " : " ") +
                                std::string(file.linkTo.begin(), file.linkTo.end());
    }
    return untouchable;
}

// Presses Replace once per outcome letter (U updated, F failed, R refused) and checks the
// messages, and after every press: each installed file's previous version is installed or in its
// backup, byte for byte; after a failure both installed names are as before the press, after a
// success both hold the new version, even after a power cut, and no ".new" file is left either
// way; nothing outside the installation folder changes but an old copy of a new file. No message
// shows while a file, a folder or a key is held or while Windows is asked to wait. `after`,
// when given, is the whole disk after the last press, in the words of Machine.
void Press(FakePlatform& fake, const std::string& outcomes, const char* after = nullptr)
{
    const auto before = Contents(fake.files);
    std::vector<std::wstring> messages;
    for (const char outcome : outcomes) {
        const auto last = Contents(fake.files);
        const auto untouchable = Untouchable(fake);
        const R expected = outcome == 'U' ? R::Updated : outcome == 'F' ? R::Failed : R::Refused;
        EXPECT_EQ(UpdateInstallation(fake, Found(fake)), expected);
        EXPECT_EQ(Untouchable(fake), untouchable);
        messages.push_back(outcome == 'U' ? kSuccess : outcome == 'F' ? kFailure : kRefusal);
        if (outcome == 'U')
            fake.Restart(); // a success must outlast a power cut right after it
        const auto now = Contents(fake.files);
        const auto has = [&now](const std::wstring& path, const std::string& bytes) {
            return now.count(path) && now.at(path) == bytes;
        };
        for (const auto& [key, bytes] : Previous(before))
            EXPECT_TRUE(has(PathOf(key), bytes) || has(PathOf(key) + L".backup", bytes))
                << key << " lost its previous version";
        for (const auto& [key, updated] : {std::pair{"E", "exe new"}, {"H", "help new"}}) {
            if (outcome == 'R')
                break; // the refusal touches nothing; `after` tells
            const std::wstring path = PathOf(key);
            const bool kept = last.count(path) ? has(path, last.at(path)) : !now.count(path);
            EXPECT_TRUE(outcome == 'U' ? has(path, updated) : kept)
                << key << (outcome == 'U' ? " is not the new version" : " changed, not updated");
            EXPECT_TRUE(!now.count(path + L".new") || !fake.files[path + L".new"].linkTo.empty())
                << key << ".new left behind"; // but a link someone planted is not the update's
        }
    }
    EXPECT_EQ(fake.messages, messages);
    if (after) {
        const std::wstring& pkg = fake.packageFolder;
        EXPECT_EQ(
            Contents(fake.files),
            Contents(Machine("pkg=" + std::string(pkg.begin(), pkg.end()) + " " + after).files));
    }
    EXPECT_EQ(fake.openKeys, 0);
}

const std::string kWorn = "E:old H:old EB:older HB:older SE:stale SH:stale EN:half HN:half ";
const char* const kUpdated = "E:new H:new EB:old HB:old";
const char* const kUpdatedWorn = "E:new H:new EB:old HB:old SE:stale SH:stale";

// Whole presses in situations a user meets, and faults of every kind the disk can show.
TEST(Replace, EndsAllOldOrAllNewWithTheMessageThatSaysWhich)
{
    const struct {
        const char* name;
        std::string machine;
        const char* presses;
        const char* after = nullptr; // by default only the checks of Press
    } cases[] = {
        {"first update", "E:old H:old", "U", kUpdated},
        {"older backups, stale copies, half-written new files", kWorn, "U", kUpdatedWorn},
        {"copies of the new files an older updater left", "E:old H:old SE:new SH:new", "U",
         kUpdated},
        {"no help file installed", "E:old", "U", "E:new H:new EB:old"},
        {"package at a drive root", "E:old H:old pkg=E:\\", "U", kUpdated},
        {"run again after success", kUpdated, "UU", kUpdated},
        {"interrupted after korv5.exe was moved aside", "EB:old H:old HB:older", "U", kUpdated},
        {"interrupted after korv5.exe was replaced", "E:new EB:old H:old HB:older", "U", kUpdated},
        {"updater started alone", "E:old H:old -PE -PH", "FF", "E:old H:old -PE -PH"},
        {"korv.hl_ missing", kWorn + "-PH", "F",
         "E:old H:old EB:older HB:older SE:stale SH:stale -PH"},
        {"SZDD packed files", "E:old H:old PE:new+szdd PH:new+szdd", "U",
         "E:new H:new EB:old HB:old PE:new+szdd PH:new+szdd"},
        {"SZDD file cut short", "E:old H:old PE:new+cut", "F"},
        {"empty packed korv5.exe", "E:old H:old PE:new+empty", "F"},
        {"one byte of korv5.ex_ changed", "E:old H:old | PE:nEw", "F"},
        {"sums of other files", "E:old H:old othersums", "F"},
        {"a build without sums installs what it finds", "E:old H:old nosums", "U", kUpdated},
        {"unreadable korv5.ex_, no sums", kWorn + "nosums !read:PE", "F"},
        {"read-only packed files (a CD)", "E:old H:old PE:new+ro PH:new+ro", "U", kUpdated},
        {"read-only old backup", "E:old H:old EB:older+ro", "U", kUpdated},
        {"old backup held by a scanner", "E:old H:old EB:older~300", "U", kUpdated},
        {"half-written new file held by a scanner", "E:old H:old EN:half~300", "U", kUpdated},
        {"package in the installation", "E:old H:old pkg=C:\\Korvane\\", "FF", "E:old H:old"},
        {"the installation by another drive letter", "E:old H:old pkg=F:\\", "FF", "E:old H:old"},
        {"korv5.exe locked for 300 ms", "E:old@300 H:old", "U", kUpdated},
        {"korv.hlp open in a viewer for 1.9 s", "E:old H:old%1900", "U", kUpdated},
        {"korv5.exe locked for good", "E:old@99999 H:old", "F"},
        {"korv5.exe open in a viewer", "E:old%99999 H:old", "F", "E:old%99999 H:old"},
        {"korv.hlp open in a viewer", "E:old H:old%99999", "F"},
        {"korv5.exe whose presence cannot be read", kWorn + "!open:E", "F"},
        // The package on a CD: the stale copies' tidy-up fails, and does not matter.
        {"stale copies that cannot go", "E:old H:old SE:new SH:new !delete:SE", "U",
         "E:new H:new EB:old HB:old SE:new"},
        // Links a standard user planted: the files they lead to stay as they are.
        {"stale copy that is a link", "E:old H:old SE:new+link", "U",
         "E:new H:new EB:old HB:old SE:new+link"},
        {"korv5.exe.new planted as a link", "E:old H:old EN:x+link", "F", "E:old H:old EN:x+link"},
        {"korv5.exe.backup planted as a link", "E:old H:old EB:x+link", "F",
         "E:old H:old EB:x+link"},
        {"korv.hlp planted as a link", "E:old H:x+link", "F", "E:old H:x+link"},
        {"a share that cannot flush a folder", kWorn + "!flush=1:D", "U", kUpdatedWorn},
        {"a file system that cannot flush a folder", kWorn + "!flush=50:D", "U", kUpdatedWorn},
        {"unreadable korv5.ex_", kWorn + "!read:PE", "F"},
        {"unreadable korv.hl_", kWorn + "!open:PH", "F"},
        {"no write access", kWorn + "!write:EN", "F"},
        {"korv.hlp.new not flushed", kWorn + "!flush:HN", "F"},
        {"installation folder not flushed", kWorn + "!flush:D", "F"},
        {"older backup that cannot go", kWorn + "!delete:HB", "F"},
        // A rename failing at each position of the swap: those done before it are undone.
        {"korv5.exe cannot move aside", kWorn + "!rename:E", "F"},
        {"korv5.exe.new cannot take its place", kWorn + "!rename:EN", "F"},
        {"korv.hlp cannot move aside", kWorn + "!rename:H", "F"},
        {"korv.hlp.new cannot take its place", kWorn + "!rename:HN", "F"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakePlatform fake = Machine(c.machine);
        Press(fake, c.presses, c.after);
        // Only locks are waited out: every other failure is final at once.
        EXPECT_TRUE(c.machine.find_first_of("@%~") != std::string::npos || fake.now == fake.start);
    }

    // The disk full at every byte of the two new files, then with just enough room.
    const std::size_t needed = std::string("exe new").size() + std::string("help new").size();
    for (std::size_t room = 0; room <= needed; ++room) {
        SCOPED_TRACE(testing::Message() << room << " bytes free");
        FakePlatform full = Machine("E:old H:old");
        full.freeBytes = room;
        Press(full, room < needed ? "F" : "U");
    }

    FakePlatform administration = Machine(kWorn);
    administration.PutValue(L"SOFTWARE\\Zelvaric\\", L"Value32", std::string("\2\0\0\0", 4), 4);
    administration.writeProtectedKeys.insert(L"SOFTWARE\\Zelvaric\\");
    Press(administration, "RR", kWorn.c_str());
}

// Between the window showing and any moment of the press, a standard user swaps the installation
// folder for a junction to another folder, or for a new folder. The update either refuses before
// it touched anything, or holds the folder so that it cannot move and updates it; no file of
// the other folder changes.
TEST(Replace, NoFolderSwappedInRedirectsIt)
{
    FakePlatform whole = Machine(kWorn);
    const Installation wholeFound = Found(whole);
    whole.calls = 0;
    ASSERT_EQ(UpdateInstallation(whole, wholeFound), R::Updated);
    for (const std::wstring target : {L"C:\\Victim\\", L""}) {
        for (int call = 1; call <= whole.calls; ++call) {
            SCOPED_TRACE(testing::Message() << "swapped at call " << call << " for a link to '"
                                            << std::string(target.begin(), target.end()) << "'");
            FakePlatform fake = Machine(kWorn);
            const Installation found = Found(fake);
            fake.calls = 0, fake.attackAtCall = call, fake.attackTarget = target;
            const auto untouchable = Untouchable(fake);
            const bool struck = call == 1; // later, the folder is held
            EXPECT_EQ(UpdateInstallation(fake, found), struck ? R::Failed : R::Updated);
            EXPECT_EQ(Untouchable(fake), untouchable);
            EXPECT_EQ(Contents(struck ? fake.attic : fake.files, PathOf("D")),
                      Contents(Machine(struck ? kWorn : kUpdatedWorn).files, PathOf("D")));
        }
    }
}

// The machine stops dead after each change the update makes to the disk, in turn; what was not
// flushed may be lost. Then the user starts the updater again and presses Replace.
TEST(Replace, AnInterruptionAnywhereIsFinishedByTheNextStart)
{
    const auto worn = [] {
        FakePlatform fake = Machine(kWorn);
        fake.PutValue(L"SOFTWARE\\Quillmarsh\\Korvane\\", L"Help_Dir",
                      std::string("C:\\Korvane\0", 11));
        return fake;
    };
    FakePlatform whole = worn();
    ASSERT_EQ(UpdateInstallation(whole, Found(whole)), R::Updated);
    ASSERT_GT(whole.changes, 10);

    for (int cut = 1; cut <= whole.changes; ++cut) {
        SCOPED_TRACE(testing::Message() << "power cut after change " << cut);
        FakePlatform fake = worn();
        fake.cutAfterChanges = cut;
        EXPECT_THROW(UpdateInstallation(fake, Found(fake)), test::PowerCut);
        EXPECT_TRUE(fake.sessionEndBlockedAtCut) << "Windows was free to end the session here";
        fake.Restart();
        const auto now = Contents(fake.files);
        for (const char* kind : {"exe ", "help "}) {
            const std::wstring installed = PathOf(kind[0] == 'e' ? "E" : "H");
            const bool complete =
                now.count(installed) && (now.at(installed) == kind + std::string("old") ||
                                         now.at(installed) == kind + std::string("new"));
            const bool aside = !now.count(installed) && now.count(installed + L".backup") &&
                               now.at(installed + L".backup") == kind + std::string("old");
            EXPECT_TRUE(complete || aside) << kind << "is neither complete nor safely aside";
        }

        const std::optional<Installation> found = LocateInstallation(fake);
        ASSERT_TRUE(found);
        EXPECT_EQ(found->folder, Found(fake).folder)
            << "the folder's identity not taken as it is found";
        Press(fake, "U", kUpdatedWorn);
    }
}

} // namespace
} // namespace kv
