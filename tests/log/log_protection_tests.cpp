// The log file's protection against users who plant links or folders where
// the service, as SYSTEM, writes. Real links and hard links where the platform
// makes them; reparse points, owners and the access list of created folders
// through the log's seam where Wine neither makes nor keeps them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "log_test_fixture.h"
#include "real_links.h"

using ::testing::ElementsAre;

namespace {

using namespace logtest;

const std::wstring ELSEWHERE = L"C:\\tobra-log-elsewhere";
const std::string VICTIM = "someone else's file";

// The path a handle really has, without the \\?\ prefix.
std::wstring HandlePath(HANDLE handle)
{
    WCHAR buffer[2 * MAX_PATH];
    DWORD length = GetFinalPathNameByHandleW(handle, buffer, 2 * MAX_PATH, FILE_NAME_NORMALIZED);
    if (length == 0 || length >= 2 * MAX_PATH)
        return L"";
    std::wstring path(buffer, length);
    return path.compare(0, 4, L"\\\\?\\") == 0 ? path.substr(4) : path;
}

bool SamePath(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

std::wstring SidText(PSID sid)
{
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text))
        return L"?";
    std::wstring result(text);
    LocalFree(text);
    return result;
}

struct AceEntry {
    std::wstring sid;
    ACCESS_MASK mask;
    BYTE flags;
    bool operator==(const AceEntry& other) const
    {
        return sid == other.sid && mask == other.mask && flags == other.flags;
    }
};

std::ostream& operator<<(std::ostream& out, const AceEntry& ace)
{
    return out << std::string(ace.sid.begin(), ace.sid.end()) << " mask 0x" << std::hex << ace.mask << " flags 0x"
               << static_cast<int>(ace.flags) << std::dec;
}

// The allowed entries of an access list; any other kind of entry shows as "other".
std::vector<AceEntry> AllowedEntries(PACL acl)
{
    std::vector<AceEntry> entries;
    for (DWORD i = 0; acl != nullptr && i < acl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(acl, i, &ace))
            break;
        ACE_HEADER* header = static_cast<ACE_HEADER*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            entries.push_back({L"other", 0, 0});
            continue;
        }
        ACCESS_ALLOWED_ACE* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        entries.push_back({SidText(&allowed->SidStart), allowed->Mask, header->AceFlags});
    }
    return entries;
}

const BYTE INHERITS = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
const ACCESS_MASK READ_AND_TRAVERSE = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;

// What every folder that the log creates must carry.
const std::vector<AceEntry> FOLDER_ENTRIES = {
    {L"S-1-5-18", FILE_ALL_ACCESS, INHERITS},        // SYSTEM
    {L"S-1-5-32-544", FILE_ALL_ACCESS, INHERITS},    // Administrators
    {L"S-1-5-32-545", READ_AND_TRAVERSE, INHERITS},  // Users
};

// --- The seam's fakes ----------------------------------------------------------

struct CreatedLevel {
    std::wstring path;
    bool hadDescriptor;
    bool inheritHandle;
    bool protectedList;
    std::vector<AceEntry> entries;
};

std::vector<CreatedLevel> g_createdLevels;
std::wstring g_reparsePath;            // handles at this path report a reparse point
std::wstring g_failedInformationPath;  // the information queries fail at this path
std::wstring g_secondNamePath;         // the file at this path reports one more name
std::wstring g_ownerPath;              // the owner of this path reads as g_ownerSid
const WCHAR* g_ownerSid = nullptr;     // nullptr: reading the owner fails
// Runs once the owner of a level has been read: the last check of the level.
void (*g_afterOwnerCheck)(const std::wstring& path) = nullptr;

BOOL WINAPI CaptureCreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes)
{
    CreatedLevel level = {path, false, false, false, {}};
    if (attributes != nullptr && attributes->lpSecurityDescriptor != nullptr) {
        level.hadDescriptor = true;
        level.inheritHandle = attributes->bInheritHandle != FALSE;
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        if (GetSecurityDescriptorControl(attributes->lpSecurityDescriptor, &control, &revision))
            level.protectedList = (control & SE_DACL_PROTECTED) != 0;
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL acl = nullptr;
        if (GetSecurityDescriptorDacl(attributes->lpSecurityDescriptor, &present, &acl, &defaulted) && present)
            level.entries = AllowedEntries(acl);
    }
    g_createdLevels.push_back(level);
    return ::CreateDirectoryW(path, attributes);
}

BOOL WINAPI SteeredGetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS informationClass,
                                                LPVOID information, DWORD size)
{
    std::wstring path = HandlePath(file);
    if (!g_failedInformationPath.empty() && SamePath(path, g_failedInformationPath)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!::GetFileInformationByHandleEx(file, informationClass, information, size))
        return FALSE;
    if (!g_reparsePath.empty() && SamePath(path, g_reparsePath) && informationClass == FileBasicInfo)
        static_cast<FILE_BASIC_INFO*>(information)->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    if (!g_secondNamePath.empty() && SamePath(path, g_secondNamePath) && informationClass == FileStandardInfo)
        ++static_cast<FILE_STANDARD_INFO*>(information)->NumberOfLinks;
    return TRUE;
}

BOOL WINAPI SteeredGetKernelObjectSecurity(HANDLE object, SECURITY_INFORMATION requested,
                                           PSECURITY_DESCRIPTOR descriptor, DWORD size, LPDWORD needed)
{
    if (g_ownerPath.empty() || !SamePath(HandlePath(object), g_ownerPath)) {
        BOOL read = ::GetKernelObjectSecurity(object, requested, descriptor, size, needed);
        if (g_afterOwnerCheck != nullptr)
            g_afterOwnerCheck(HandlePath(object));
        return read;
    }
    if (g_ownerSid == nullptr) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    PSID owner = nullptr;
    if (!ConvertStringSidToSidW(g_ownerSid, &owner))
        return FALSE;
    SECURITY_DESCRIPTOR absolute;
    InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorOwner(&absolute, owner, FALSE);
    *needed = size;
    BOOL made = MakeSelfRelativeSD(&absolute, descriptor, needed);
    LocalFree(owner);
    return made;
}

class LogProtectionTest : public LogTest {
protected:
    void SetUp() override
    {
        LogTest::SetUp();
        g_createdLevels.clear();
        g_reparsePath.clear();
        g_failedInformationPath.clear();
        g_secondNamePath.clear();
        g_ownerPath.clear();
        g_ownerSid = nullptr;
        g_afterOwnerCheck = nullptr;
        g_logPlatform.CreateDirectoryW = CaptureCreateDirectoryW;
        g_logPlatform.GetFileInformationByHandleEx = SteeredGetFileInformationByHandleEx;
        g_logPlatform.GetKernelObjectSecurity = SteeredGetKernelObjectSecurity;
        ASSERT_TRUE(test::DeleteTree(ELSEWHERE));
        ASSERT_TRUE(CreateDirectoryW(ELSEWHERE.c_str(), nullptr));
    }

    void TearDown() override
    {
        // Links first, while their targets still exist (see RemoveLink).
        for (auto it = links_.rbegin(); it != links_.rend(); ++it)
            EXPECT_TRUE(RemoveLink(it->first, it->second)) << "link left behind";
        LogTest::TearDown();
        test::DeleteTree(ELSEWHERE);
    }

    // Makes a real link, or skips the test where the platform cannot.
    bool Link(const std::wstring& link, const std::wstring& target, LinkKind kind)
    {
        if (!MakeLink(link, target, kind))
            return false;
        links_.push_back({link, kind});
        return true;
    }

    // One line through LogPrintf (file and debugger) and one straight to the writer.
    void ExpectLinesLost()
    {
        EXPECT_EQ(LogPrintf(L"Initiate Service"), 1);
        EXPECT_THAT(g_debugOutput, ElementsAre(L"Initiate Service", L"\n"));
        EXPECT_EQ(LogWriteLine(L"Service.txt", L"lost"), 0);
    }

    std::vector<std::pair<std::wstring, LinkKind>> links_;
};

// --- Access list of the folders that the log creates --------------------------

TEST_F(LogProtectionTest, CreatedLevelsGetAProtectedListThatLetsUsersOnlyRead)
{
    LogInit(LOG_TO_FILE);
    LogPrintf(L"Initiate Service");

    ASSERT_EQ(g_createdLevels.size(), 2u);
    EXPECT_EQ(g_createdLevels[0].path, ROOT);
    EXPECT_EQ(g_createdLevels[1].path, DIRECTORY);
    for (const CreatedLevel& level : g_createdLevels) {
        SCOPED_TRACE(std::string(level.path.begin(), level.path.end()));
        EXPECT_TRUE(level.hadDescriptor);
        EXPECT_FALSE(level.inheritHandle);
        EXPECT_TRUE(level.protectedList) << "the drive root's grants would flow in";
        EXPECT_EQ(level.entries, FOLDER_ENTRIES);
    }
    EXPECT_EQ(test::ReadFileBytes(FILE_PATH), BOM + Line(L"2021/03/07 09:05:04  Initiate Service"));
}

TEST_F(LogProtectionTest, OnlyMissingLevelsAreCreated)
{
    ASSERT_TRUE(CreateDirectoryW(ROOT.c_str(), nullptr));
    LogInit(LOG_TO_FILE);
    LogPrintf(L"one");
    LogPrintf(L"two");
    ASSERT_EQ(g_createdLevels.size(), 1u);
    EXPECT_EQ(g_createdLevels[0].path, DIRECTORY);
}

// Wine keeps no descriptor given at creation (it reads back one made from the
// Unix mode), so this runs where the platform keeps one: Windows.
TEST_F(LogProtectionTest, CreatedLevelsReadBackWithTheProtectedList)
{
    const std::wstring probe = ELSEWHERE + L"\\probe";
    PSECURITY_DESCRIPTOR probeDescriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;WD)", SDDL_REVISION_1,
                                                                     &probeDescriptor, nullptr));
    SECURITY_ATTRIBUTES probeAttributes = {sizeof(probeAttributes), probeDescriptor, FALSE};
    ASSERT_TRUE(::CreateDirectoryW(probe.c_str(), &probeAttributes));
    LocalFree(probeDescriptor);
    PSECURITY_DESCRIPTOR readBack = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoW(probe.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                                    nullptr, &readBack),
              static_cast<DWORD>(ERROR_SUCCESS));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(readBack, &control, &revision);
    LocalFree(readBack);
    if (!(control & SE_DACL_PROTECTED))
        GTEST_SKIP() << "this platform does not keep the descriptor given at creation";

    LogInit(LOG_TO_FILE);
    LogPrintf(L"Initiate Service");
    for (const std::wstring& level : {ROOT, DIRECTORY}) {
        SCOPED_TRACE(std::string(level.begin(), level.end()));
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        PACL acl = nullptr;
        ASSERT_EQ(GetNamedSecurityInfoW(level.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                        &acl, nullptr, &descriptor),
                  static_cast<DWORD>(ERROR_SUCCESS));
        GetSecurityDescriptorControl(descriptor, &control, &revision);
        EXPECT_TRUE(control & SE_DACL_PROTECTED);
        EXPECT_EQ(AllowedEntries(acl), FOLDER_ENTRIES);
        LocalFree(descriptor);
    }
    // The file inherits the same grants.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL acl = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoW(FILE_PATH.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                    &acl, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(AllowedEntries(acl), (std::vector<AceEntry>{{L"S-1-5-18", FILE_ALL_ACCESS, INHERITED_ACE},
                                                          {L"S-1-5-32-544", FILE_ALL_ACCESS, INHERITED_ACE},
                                                          {L"S-1-5-32-545", READ_AND_TRAVERSE, INHERITED_ACE}}));
    LocalFree(descriptor);
}

// --- Real links -----------------------------------------------------------------

struct LinkCase {
    const char* name;
    std::wstring link;    // planted where the log writes
    std::wstring target;  // where it leads
    LinkKind kind;
    std::wstring victim;  // the file that following the link would write
};

void PrintTo(const LinkCase& c, std::ostream* out)
{
    *out << c.name;
}

class PlantedLink : public LogProtectionTest, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(PlantedLink, IsNeverFollowed)
{
    const LinkCase& c = GetParam();
    ASSERT_TRUE(test::DeleteTree(ROOT));
    // The levels above the link, as the service would have made them.
    for (const std::wstring& level : {ROOT, DIRECTORY}) {
        if (c.link.compare(0, level.size() + 1, level + L"\\") == 0) {
            ASSERT_TRUE(MakeFolders({level}));
        }
    }
    std::wstring victimFolder = c.victim.substr(0, c.victim.find_last_of(L'\\'));
    ASSERT_TRUE(victimFolder == ELSEWHERE || CreateDirectoryW(victimFolder.c_str(), nullptr));
    ASSERT_TRUE(test::WriteFileBytes(c.victim, VICTIM));
    if (!Link(c.link, c.target, c.kind))
        GTEST_SKIP() << "this platform cannot make the link here";

    LogInit(LOG_TO_FILE | LOG_TO_DEBUGGER);
    ExpectLinesLost();
    EXPECT_EQ(test::ReadFileBytes(c.victim), VICTIM);
}

INSTANTIATE_TEST_SUITE_P(Levels, PlantedLink,
                         ::testing::Values(LinkCase{"Root", ROOT, ELSEWHERE, LinkKind::DIRECTORY,
                                                    ELSEWHERE + L"\\Tobra Service\\Service.txt"},
                                           LinkCase{"Folder", DIRECTORY, ELSEWHERE, LinkKind::DIRECTORY,
                                                    ELSEWHERE + L"\\Service.txt"},
                                           LinkCase{"File", FILE_PATH, ELSEWHERE + L"\\victim.txt", LinkKind::FILE,
                                                    ELSEWHERE + L"\\victim.txt"}),
                         test::RowName());

TEST_F(LogProtectionTest, NothingIsCreatedBeneathALink)
{
    if (!Link(ROOT, ELSEWHERE, LinkKind::DIRECTORY))
        GTEST_SKIP() << "this platform cannot make the link here";
    LogInit(LOG_TO_FILE);
    LogPrintf(L"lost");
    EXPECT_FALSE(test::PathExists(ELSEWHERE + L"\\Tobra Service"));
    EXPECT_TRUE(g_createdLevels.empty());
}

// The folder is swapped for a link after its checks and before the file is
// opened: the file is opened relative to the folder that was checked, so the
// line lands in it, wherever it now is, and nothing where the link points.
const std::wstring HELD = DIRECTORY + L" (moved)";
bool g_swapped = false;
bool g_swapFailed = false;

void SwapTheFolderForALink(const std::wstring& path)
{
    if (g_swapped || !SamePath(path, DIRECTORY))
        return;
    g_swapped = true;
    g_swapFailed = !MoveFolder(DIRECTORY, HELD) || !MakeLink(DIRECTORY, ELSEWHERE, LinkKind::DIRECTORY);
}

TEST_F(LogProtectionTest, FolderSwappedForALinkAfterItsChecksGetsNothingWhereTheLinkPoints)
{
    ASSERT_TRUE(MakeFolders({ROOT, DIRECTORY}));
    g_swapped = false;
    g_swapFailed = false;
    g_afterOwnerCheck = SwapTheFolderForALink;
    LogInit(LOG_TO_FILE);
    EXPECT_EQ(LogWriteLine(L"Service.txt", L"held"), 1);
    g_afterOwnerCheck = nullptr;
    ASSERT_TRUE(g_swapped);
    if (g_swapFailed)
        GTEST_SKIP() << "this platform cannot swap a held folder";
    links_.push_back({DIRECTORY, LinkKind::DIRECTORY});

    EXPECT_FALSE(test::PathExists(ELSEWHERE + L"\\Service.txt"));
    EXPECT_EQ(test::ReadFileBytes(HELD + L"\\Service.txt"), BOM + Line(L"2021/03/07 09:05:04  held"));
}

TEST_F(LogProtectionTest, FileWithASecondNameLosesTheLineUntilTheNameIsGone)
{
    const std::wstring victim = ELSEWHERE + L"\\victim.txt";
    ASSERT_TRUE(test::WriteFileBytes(victim, VICTIM));
    ASSERT_TRUE(MakeFolders({ROOT, DIRECTORY}));
    ASSERT_TRUE(CreateHardLinkW(FILE_PATH.c_str(), victim.c_str(), nullptr));

    LogInit(LOG_TO_FILE | LOG_TO_DEBUGGER);
    ExpectLinesLost();
    EXPECT_EQ(test::ReadFileBytes(victim), VICTIM);

    // Refused per line: once the planted name is gone the log goes on.
    ASSERT_TRUE(DeleteFileW(FILE_PATH.c_str()));
    EXPECT_EQ(LogWriteLine(L"Service.txt", L"again"), 1);
    EXPECT_EQ(test::ReadFileBytes(FILE_PATH), BOM + Line(L"2021/03/07 09:05:04  again"));
    EXPECT_EQ(test::ReadFileBytes(victim), VICTIM);
}

// --- What Wine cannot make (reparse points), and failed queries, through the seam ---

enum class Steer { REPARSE_POINT, SECOND_NAME, INFORMATION_FAILS };

struct SteerCase {
    const char* name;
    Steer steer;
    std::wstring path;
    bool directoryCreated;  // the log went on to the next level
    bool fileCreated;
};

void PrintTo(const SteerCase& c, std::ostream* out)
{
    *out << c.name;
}

class SteeredHandle : public LogProtectionTest, public ::testing::WithParamInterface<SteerCase> {};

TEST_P(SteeredHandle, LosesTheLineAndGoesNoFurther)
{
    const SteerCase& c = GetParam();
    std::wstring* steered = c.steer == Steer::REPARSE_POINT ? &g_reparsePath
                            : c.steer == Steer::SECOND_NAME ? &g_secondNamePath
                                                            : &g_failedInformationPath;
    *steered = c.path;
    LogInit(LOG_TO_FILE | LOG_TO_DEBUGGER);
    ExpectLinesLost();
    EXPECT_EQ(test::PathExists(DIRECTORY), c.directoryCreated);
    EXPECT_EQ(test::PathExists(FILE_PATH), c.fileCreated);
    // A file opened and then refused holds no line.
    EXPECT_EQ(test::ReadFileBytes(FILE_PATH), "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SteeredHandle,
    ::testing::Values(SteerCase{"RootIsAJunction", Steer::REPARSE_POINT, ROOT, false, false},
                      SteerCase{"FolderIsAJunction", Steer::REPARSE_POINT, DIRECTORY, true, false},
                      SteerCase{"FileIsASymbolicLink", Steer::REPARSE_POINT, FILE_PATH, true, true},
                      SteerCase{"FileHasASecondName", Steer::SECOND_NAME, FILE_PATH, true, true},
                      SteerCase{"RootUnreadable", Steer::INFORMATION_FAILS, ROOT, false, false},
                      SteerCase{"FileUnreadable", Steer::INFORMATION_FAILS, FILE_PATH, true, true}),
    test::RowName());

// --- Owners of existing levels --------------------------------------------------

struct OwnerCase {
    const char* name;
    std::wstring level;
    const WCHAR* owner;  // nullptr: the owner cannot be read
    bool written;
};

void PrintTo(const OwnerCase& c, std::ostream* out)
{
    *out << c.name;
}

class LevelOwner : public LogProtectionTest, public ::testing::WithParamInterface<OwnerCase> {};

TEST_P(LevelOwner, DecidesWhetherTheLogWritesBeneathIt)
{
    const OwnerCase& c = GetParam();
    ASSERT_TRUE(CreateDirectoryW(ROOT.c_str(), nullptr));  // made before the service ever ran
    g_ownerPath = c.level;
    g_ownerSid = c.owner;
    LogInit(LOG_TO_FILE);
    EXPECT_EQ(LogWriteLine(L"Service.txt", L"line"), c.written ? 1 : 0);
    EXPECT_EQ(test::ReadFileBytes(FILE_PATH), c.written ? BOM + Line(L"2021/03/07 09:05:04  line") : "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LevelOwner,
    ::testing::Values(OwnerCase{"System", ROOT, L"S-1-5-18", true},
                      OwnerCase{"Administrators", ROOT, L"S-1-5-32-544", true},
                      OwnerCase{"Users", ROOT, L"S-1-5-32-545", false},
                      OwnerCase{"AnotherAccount", ROOT, L"S-1-5-21-1-2-3-1001", false},
                      OwnerCase{"Everyone", ROOT, L"S-1-1-0", false}, OwnerCase{"Unreadable", ROOT, nullptr, false},
                      OwnerCase{"FolderOfAnotherAccount", DIRECTORY, L"S-1-5-21-1-2-3-1001", false}),
    test::RowName());

// Every level, the file and the account's token are closed again on every
// path, written or refused.
TEST_F(LogProtectionTest, LinesLeaveNoHandleOpen)
{
    LogInit(LOG_TO_FILE);
    LogPrintf(L"first");  // creates the levels and reads the account once
    DWORD before = test::ProcessHandleCount();
    ASSERT_GT(before, 0u);
    for (int i = 0; i < 50; ++i)
        LogPrintf(L"written");
    g_reparsePath = FILE_PATH;
    for (int i = 0; i < 50; ++i)
        LogPrintf(L"refused");
    g_reparsePath = DIRECTORY;
    for (int i = 0; i < 50; ++i)
        LogPrintf(L"refused");
    EXPECT_EQ(test::ProcessHandleCount(), before);
    EXPECT_EQ(test::ParseLogMessages(test::ReadFileBytes(FILE_PATH)).size(), 51u);
}

// --- Depth ------------------------------------------------------------------------

TEST_F(LogProtectionTest, DirectoryDeeperThanTheHeldLevelsIsRefusedWhole)
{
    const std::wstring top = ELSEWHERE + L"\\deep";
    std::wstring directory = top;
    for (int level = 2; level < 32; ++level)
        directory += L"\\d";  // 32 levels below the drive
    LogInit(LOG_TO_FILE);
    lstrcpynW(g_logDirectory, directory.c_str(), MAX_PATH);
    EXPECT_EQ(LogWriteLine(L"Service.txt", L"at the limit"), 1);

    directory += L"\\d";
    lstrcpynW(g_logDirectory, directory.c_str(), MAX_PATH);
    EXPECT_EQ(LogWriteLine(L"Service.txt", L"too deep"), 0);
    EXPECT_FALSE(test::PathExists(directory));
}

}  // namespace
