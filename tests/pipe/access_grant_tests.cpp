// Access grant on real kernel objects (events and named pipes) under Wine.
// The platform seam records what the grant allocates and frees and makes the
// calls fail that the platform will not fail on demand.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "pipe/access_grant.h"
#include "support/test_support.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const std::string EVERYONE(reinterpret_cast<const char*>(EveryoneSid), sizeof(EveryoneSid));
const std::string ADMINISTRATORS("\x01\x02\x00\x00\x00\x00\x00\x05\x20\x00\x00\x00\x20\x02\x00\x00", 16);
const std::string LOCAL_SYSTEM("\x01\x01\x00\x00\x00\x00\x00\x05\x12\x00\x00\x00", 12);

const BYTE ALLOWED = ACCESS_ALLOWED_ACE_TYPE;
const BYTE DENIED = ACCESS_DENIED_ACE_TYPE;
const BYTE ALLOWED_OBJECT = ACCESS_ALLOWED_OBJECT_ACE_TYPE;
const BYTE DENIED_OBJECT = ACCESS_DENIED_OBJECT_ACE_TYPE;
const BYTE AUDIT = SYSTEM_AUDIT_ACE_TYPE;  // has no place in the canonical order
const BYTE INHERITED = INHERITED_ACE;
const DWORD FULL = 0x1F01FF;
const DWORD GRANT = 0x0012019B;  // read and write, without WRITE_DAC, WRITE_OWNER, FILE_CREATE_PIPE_INSTANCE
const DWORD READ = FILE_GENERIC_READ;

// One entry as tests write and read it. Object entries carry no GUIDs, so
// their SID follows a 4-byte flags field.
struct Ace {
    BYTE type;
    BYTE flags;
    DWORD mask;
    std::string sid;

    bool operator==(const Ace& other) const
    {
        return type == other.type && flags == other.flags && mask == other.mask && sid == other.sid;
    }
};

void PrintTo(const Ace& ace, std::ostream* out)
{
    *out << "{type " << int(ace.type) << ", flags 0x" << std::hex << int(ace.flags) << ", mask 0x" << ace.mask
         << std::dec << ", sid of " << ace.sid.size() << " bytes" << (ace.sid == EVERYONE ? " (Everyone)" : "") << "}";
}

const Ace GRANTED = {ALLOWED, 0, GRANT, EVERYONE};

bool IsObjectType(BYTE type)
{
    return type == ALLOWED_OBJECT || type == DENIED_OBJECT;
}

std::string EntryBytes(const Ace& ace)
{
    size_t sidOffset = IsObjectType(ace.type) ? 12 : 8;
    std::string bytes(sidOffset, '\0');
    bytes[0] = static_cast<char>(ace.type);
    bytes[1] = static_cast<char>(ace.flags);
    WORD size = static_cast<WORD>(sidOffset + ace.sid.size());
    memcpy(&bytes[2], &size, 2);
    memcpy(&bytes[4], &ace.mask, 4);
    return bytes + ace.sid;
}

// An ACL in memory with the given entries, sized to fit (plus spare bytes).
std::vector<BYTE> MakeAcl(const std::vector<Ace>& entries, DWORD spare = 0)
{
    DWORD size = sizeof(ACL) + spare;
    for (const Ace& ace : entries)
        size += static_cast<DWORD>(EntryBytes(ace).size());
    std::vector<BYTE> acl(size);
    EXPECT_TRUE(InitializeAcl(reinterpret_cast<PACL>(acl.data()), size, ACL_REVISION));
    for (const Ace& ace : entries) {
        std::string bytes = EntryBytes(ace);
        EXPECT_TRUE(AddAce(reinterpret_cast<PACL>(acl.data()), ACL_REVISION, MAXDWORD, &bytes[0],
                           static_cast<DWORD>(bytes.size())));
    }
    return acl;
}

PACL AsAcl(std::vector<BYTE>& acl)
{
    return reinterpret_cast<PACL>(acl.data());
}

// The grant's own entry for a SID, freed with the test.
struct BuiltAce {
    explicit BuiltAce(const std::string& sid, BYTE type = ALLOWED, BYTE flags = 0)
        : ace(BuildAce(type, flags, GRANT, const_cast<char*>(sid.data())))
    {
    }
    ~BuiltAce() { LocalFree(ace); }
    BuiltAce(const BuiltAce&) = delete;
    BuiltAce& operator=(const BuiltAce&) = delete;
    ACCESS_ALLOWED_ACE* ace;
};

// What an object's DACL reads back as: whether there is one, its declared
// size, and its entries in order.
struct Dacl {
    bool present = false;
    WORD aclSize = 0;
    std::vector<Ace> entries;
};

Dacl ReadDacl(HANDLE object)
{
    Dacl result;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                                  &descriptor);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SUCCESS));
    if (error != ERROR_SUCCESS)
        return result;
    if (dacl != nullptr) {
        result.present = true;
        result.aclSize = dacl->AclSize;
        for (DWORD i = 0; i < dacl->AceCount; ++i) {
            BYTE* entry = nullptr;
            EXPECT_TRUE(GetAce(dacl, i, reinterpret_cast<LPVOID*>(&entry)));
            const auto* header = reinterpret_cast<ACE_HEADER*>(entry);
            size_t sidOffset = IsObjectType(header->AceType) ? 12 : 8;
            Ace ace{header->AceType, header->AceFlags, 0, std::string()};
            memcpy(&ace.mask, entry + 4, 4);
            ace.sid.assign(reinterpret_cast<char*>(entry) + sidOffset, header->AceSize - sidOffset);
            result.entries.push_back(ace);
        }
    }
    LocalFree(descriptor);
    return result;
}

// A fresh unnamed event: under Wine it starts without a DACL.
class KernelObject {
public:
    KernelObject() : handle_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~KernelObject() { CloseHandle(handle_); }
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;

    HANDLE Handle() const { return handle_; }

    void SetEntries(const std::vector<Ace>& entries)
    {
        std::vector<BYTE> acl = MakeAcl(entries);
        ASSERT_EQ(SetSecurityInfo(handle_, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, AsAcl(acl),
                                  nullptr),
                  static_cast<DWORD>(ERROR_SUCCESS));
    }

    // A second handle to the same object with only the given rights.
    HANDLE Duplicate(DWORD access) const
    {
        HANDLE copy = nullptr;
        EXPECT_TRUE(DuplicateHandle(GetCurrentProcess(), handle_, GetCurrentProcess(), &copy, access, FALSE, 0));
        return copy;
    }

private:
    HANDLE handle_;
};

// Seam: passes every call through, records allocations, frees and writes, and
// fails the n-th call of a chosen routine (counting from 1; 0 = never).
struct SeamRecord {
    std::map<void*, SIZE_T> live;  // grant's own allocations not yet freed
    int allocations = 0;
    int foreignFrees = 0;  // frees of blocks the grant did not allocate (the descriptor)
    void* descriptor = nullptr;
    int descriptorFrees = 0;
    int setCalls = 0;
    int aclInformationCalls = 0;
    int failAllocation = 0;
    int failAddAce = 0;
    int addAceCalls = 0;
    int failAclInformation = 0;
};
SeamRecord g_seam;

DWORD WINAPI RecordGetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID* owner,
                                   PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor)
{
    DWORD error = GetSecurityInfo(handle, type, info, owner, group, dacl, sacl, descriptor);
    if (error == ERROR_SUCCESS)
        g_seam.descriptor = *descriptor;
    return error;
}

DWORD WINAPI RecordSetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID owner,
                                   PSID group, PACL dacl, PACL sacl)
{
    ++g_seam.setCalls;
    return SetSecurityInfo(handle, type, info, owner, group, dacl, sacl);
}

BOOL WINAPI SteerGetAclInformation(PACL acl, LPVOID information, DWORD length, ACL_INFORMATION_CLASS infoClass)
{
    if (++g_seam.aclInformationCalls == g_seam.failAclInformation)
        return FALSE;
    return GetAclInformation(acl, information, length, infoClass);
}

BOOL WINAPI SteerAddAce(PACL acl, DWORD revision, DWORD startIndex, LPVOID aceList, DWORD aceListLength)
{
    if (++g_seam.addAceCalls == g_seam.failAddAce)
        return FALSE;
    return AddAce(acl, revision, startIndex, aceList, aceListLength);
}

HLOCAL WINAPI SteerLocalAlloc(UINT flags, SIZE_T bytes)
{
    if (++g_seam.allocations == g_seam.failAllocation)
        return nullptr;
    HLOCAL memory = LocalAlloc(flags, bytes);
    if (memory != nullptr)
        g_seam.live[memory] = bytes;
    return memory;
}

HLOCAL WINAPI RecordLocalFree(HLOCAL memory)
{
    if (g_seam.live.erase(memory) == 0)
        ++g_seam.foreignFrees;
    if (memory != nullptr && memory == g_seam.descriptor)
        ++g_seam.descriptorFrees;
    return LocalFree(memory);
}

class AccessGrantTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_seam = SeamRecord();
        g_accessGrantPlatform.GetSecurityInfo = RecordGetSecurityInfo;
        g_accessGrantPlatform.SetSecurityInfo = RecordSetSecurityInfo;
        g_accessGrantPlatform.GetAclInformation = SteerGetAclInformation;
        g_accessGrantPlatform.AddAce = SteerAddAce;
        g_accessGrantPlatform.LocalAlloc = SteerLocalAlloc;
        g_accessGrantPlatform.LocalFree = RecordLocalFree;
    }

    // Every block the grant allocated is freed, and so is the descriptor that
    // GetSecurityInfo handed it (exactly once), and nothing else.
    static void ExpectAllReleased()
    {
        EXPECT_THAT(g_seam.live, IsEmpty());
        if (g_seam.descriptor != nullptr) {
            EXPECT_EQ(g_seam.descriptorFrees, 1);
            EXPECT_EQ(g_seam.foreignFrees, 1);
        } else {
            EXPECT_EQ(g_seam.foreignFrees, 0);
        }
    }

    test::ScopedSwap<AccessGrantPlatform> platform_{g_accessGrantPlatform};
};

// --- BuildAce ---

TEST_F(AccessGrantTest, BuildAceLaysOutTheGrantEntryForEveryone)
{
    BuiltAce built(EVERYONE);
    ASSERT_NE(built.ace, nullptr);
    std::string bytes(reinterpret_cast<char*>(built.ace), built.ace->Header.AceSize);
    EXPECT_EQ(bytes, std::string("\x00\x00\x14\x00\x9B\x01\x12\x00", 8) + EVERYONE);
}

TEST_F(AccessGrantTest, BuildAceGivesNoneForAnInvalidSidOrFailedAllocation)
{
    std::string badRevision = EVERYONE;
    badRevision[0] = 7;
    EXPECT_EQ(BuildAce(ALLOWED, 0, FULL, const_cast<char*>(badRevision.data())), nullptr);
    EXPECT_EQ(BuildAce(ALLOWED, 0, FULL, nullptr), nullptr);

    g_seam.failAllocation = 1;
    EXPECT_EQ(BuildAce(ALLOWED, 0, FULL, const_cast<BYTE*>(EveryoneSid)), nullptr);
    EXPECT_THAT(g_seam.live, IsEmpty());
}

// --- FindEqualAce ---

struct FindCase {
    const char* name;
    std::vector<Ace> entries;
    int expected;
};

TEST_F(AccessGrantTest, FindEqualAceMatchesHeaderMaskAndSidExactly)
{
    const FindCase cases[] = {
        {"the same entry", {GRANTED}, 0},
        {"another mask", {{ALLOWED, 0, READ, EVERYONE}}, -1},
        {"inherited", {{ALLOWED, INHERITED, GRANT, EVERYONE}}, -1},
        {"container inherit", {{ALLOWED, CONTAINER_INHERIT_ACE, GRANT, EVERYONE}}, -1},
        {"object inherit", {{ALLOWED, OBJECT_INHERIT_ACE, GRANT, EVERYONE}}, -1},
        {"full access is another mask", {{ALLOWED, 0, FULL, EVERYONE}}, -1},
        {"another SID of the same size", {{ALLOWED, 0, GRANT, LOCAL_SYSTEM}}, -1},
        {"denied, same mask and SID", {{DENIED, 0, GRANT, EVERYONE}}, -1},
        {"behind other entries", {{DENIED, 0, READ, LOCAL_SYSTEM}, {ALLOWED, 0, FULL, ADMINISTRATORS}, GRANTED}, 2},
        {"two equal entries: the later", {GRANTED, {ALLOWED, 0, READ, EVERYONE}, GRANTED}, 2},
        {"empty", {}, -1},
    };
    BuiltAce built(EVERYONE);
    for (const FindCase& c : cases) {
        std::vector<BYTE> acl = MakeAcl(c.entries);
        EXPECT_EQ(FindEqualAce(AsAcl(acl), built.ace), c.expected) << c.name;
    }
    EXPECT_EQ(FindEqualAce(nullptr, built.ace), -1) << "no DACL";
}

TEST_F(AccessGrantTest, FindEqualAceGivesMinusOneWhenTheSizeCannotBeRead)
{
    std::vector<BYTE> acl = MakeAcl({GRANTED});
    BuiltAce built(EVERYONE);
    g_seam.failAclInformation = 1;
    EXPECT_EQ(FindEqualAce(AsAcl(acl), built.ace), -1);
}

// --- GetCanonicalAceIndex ---

struct IndexCase {
    const char* name;
    std::vector<Ace> entries;
    int expected;
};

TEST_F(AccessGrantTest, CanonicalIndexFollowsTheSortKeys)
{
    const Ace deniedA = {DENIED, 0, READ, LOCAL_SYSTEM};
    const Ace allowedB = {ALLOWED, 0, READ, ADMINISTRATORS};
    const Ace allowedC = {ALLOWED, 0, FULL, LOCAL_SYSTEM};
    const Ace deniedObjectB = {DENIED_OBJECT, 0, READ, ADMINISTRATORS};
    const Ace allowedObject = {ALLOWED_OBJECT, 0, READ, ADMINISTRATORS};
    const Ace inheritedDenied = {DENIED, INHERITED, READ, LOCAL_SYSTEM};
    const Ace inheritedAllowed = {ALLOWED, INHERITED, READ, ADMINISTRATORS};
    const Ace audit = {AUDIT, 0, READ, EVERYONE};
    const IndexCase cases[] = {
        {"empty", {}, 0},
        {"denied A, allowed B, allowed C", {deniedA, allowedB, allowedC}, 1},
        {"denied A, denied-object B", {deniedA, deniedObjectB}, 2},
        {"denied A, allowed-object", {deniedA, allowedObject}, 1},
        {"inherited entries only", {inheritedDenied, inheritedAllowed}, 0},
        {"denied A, inherited denied", {deniedA, inheritedDenied}, 1},
        {"out of order: allowed B, denied A", {allowedB, deniedA}, 0},
        {"denied A, audit, allowed B", {deniedA, audit, allowedB}, -1},
        {"allowed B, audit", {allowedB, audit}, 0},
    };
    BuiltAce built(EVERYONE);
    for (const IndexCase& c : cases) {
        std::vector<BYTE> acl = MakeAcl(c.entries);
        EXPECT_EQ(GetCanonicalAceIndex(AsAcl(acl), built.ace), c.expected) << c.name;
    }
}

TEST_F(AccessGrantTest, CanonicalIndexOfATypeOutsideTheTableIsTheEndWithoutReadingTheDacl)
{
    std::vector<BYTE> acl = MakeAcl({{DENIED, 0, READ, LOCAL_SYSTEM}});
    BuiltAce built(EVERYONE, AUDIT);
    EXPECT_EQ(GetCanonicalAceIndex(AsAcl(acl), built.ace), -1);
    EXPECT_EQ(g_seam.aclInformationCalls, 0);
}

// --- CopyAces ---

TEST_F(AccessGrantTest, CopyAcesKeepsOrderFlagsAndContents)
{
    const std::vector<Ace> entries = {{ALLOWED, 0, READ, ADMINISTRATORS},
                                      {AUDIT, 0, READ, EVERYONE},
                                      {DENIED, INHERITED | OBJECT_INHERIT_ACE, FULL, LOCAL_SYSTEM}};
    std::vector<BYTE> oldAcl = MakeAcl(entries);
    std::vector<BYTE> newAcl = MakeAcl({}, 200);
    ASSERT_EQ(CopyAces(AsAcl(newAcl), AsAcl(oldAcl)), 1);
    EXPECT_EQ(std::string(newAcl.begin() + sizeof(ACL), newAcl.begin() + oldAcl.size()),
              std::string(oldAcl.begin() + sizeof(ACL), oldAcl.end()));
    EXPECT_EQ(AsAcl(newAcl)->AceCount, 3);

    std::vector<BYTE> untouched = MakeAcl({}, 20);
    EXPECT_EQ(CopyAces(AsAcl(untouched), nullptr), 1) << "no old DACL";
    EXPECT_EQ(AsAcl(untouched)->AceCount, 0);
}

// --- GrantFullAccess on real objects ---

TEST_F(AccessGrantTest, GrantOnAnObjectWithoutDaclMakesA28ByteDaclWithTheEntryAlone)
{
    KernelObject object;
    ASSERT_FALSE(ReadDacl(object.Handle()).present) << "precondition: a fresh event has no DACL";

    EXPECT_EQ(GrantFullAccess(const_cast<BYTE*>(EveryoneSid), object.Handle()), 1);
    Dacl dacl = ReadDacl(object.Handle());
    ASSERT_TRUE(dacl.present);
    EXPECT_EQ(dacl.aclSize, 28);
    EXPECT_THAT(dacl.entries, ElementsAre(GRANTED));
    EXPECT_EQ(g_seam.setCalls, 1);
    ExpectAllReleased();
}

TEST_F(AccessGrantTest, GrantOnAnEmptyDaclMakesA36ByteDaclWithTheEntryAtPositionZero)
{
    KernelObject object;
    object.SetEntries({});
    EXPECT_EQ(GrantFullAccess(const_cast<BYTE*>(EveryoneSid), object.Handle()), 1);
    Dacl dacl = ReadDacl(object.Handle());
    EXPECT_EQ(dacl.aclSize, 36);
    EXPECT_THAT(dacl.entries, ElementsAre(GRANTED));
    ExpectAllReleased();
}

TEST_F(AccessGrantTest, GrantWithTheEntryPresentWritesNothing)
{
    KernelObject object;
    object.SetEntries({{DENIED, 0, READ, LOCAL_SYSTEM}, GRANTED});
    // A handle that could not write the DACL: a write attempt would fail the grant.
    HANDLE readOnly = object.Duplicate(READ_CONTROL);
    EXPECT_EQ(GrantFullAccess(const_cast<BYTE*>(EveryoneSid), readOnly), 1);
    CloseHandle(readOnly);
    EXPECT_EQ(g_seam.setCalls, 0);
    EXPECT_THAT(ReadDacl(object.Handle()).entries, ElementsAre(Ace{DENIED, 0, READ, LOCAL_SYSTEM}, GRANTED));
    ExpectAllReleased();
}

TEST_F(AccessGrantTest, GrantWithTwoEqualEntriesPresentWritesNothing)
{
    KernelObject object;
    object.SetEntries({GRANTED, {ALLOWED, 0, READ, ADMINISTRATORS}, GRANTED});
    EXPECT_EQ(GrantFullAccess(const_cast<BYTE*>(EveryoneSid), object.Handle()), 1);
    EXPECT_EQ(g_seam.setCalls, 0);
    EXPECT_EQ(ReadDacl(object.Handle()).entries.size(), 3u);
}

struct GrantCase {
    const char* name;
    std::vector<Ace> before;
    std::vector<Ace> after;
};

TEST_F(AccessGrantTest, GrantPutsTheEntryInCanonicalPositionAndKeepsEveryOldEntry)
{
    const Ace deniedA = {DENIED, 0, READ, LOCAL_SYSTEM};
    const Ace allowedB = {ALLOWED, 0, READ, ADMINISTRATORS};
    const Ace allowedC = {ALLOWED, 0, FULL, LOCAL_SYSTEM};
    const Ace everyoneRead = {ALLOWED, 0, READ, EVERYONE};
    const Ace inheritedEqual = {ALLOWED, INHERITED, GRANT, EVERYONE};
    const Ace inheritable = {ALLOWED, CONTAINER_INHERIT_ACE | OBJECT_INHERIT_ACE, GRANT, EVERYONE};
    const Ace everyoneFull = {ALLOWED, 0, FULL, EVERYONE};
    const Ace audit = {AUDIT, 0, READ, EVERYONE};
    const GrantCase cases[] = {
        {"Everyone with another mask stays", {everyoneRead}, {GRANTED, everyoneRead}},
        {"ahead of an inherited equal entry", {inheritedEqual}, {GRANTED, inheritedEqual}},
        {"an old full-access entry stays: it is another mask", {everyoneFull}, {GRANTED, everyoneFull}},
        {"the same entry with inheritance flags is not equal", {inheritable}, {GRANTED, inheritable}},
        {"between denied A and allowed B", {deniedA, allowedB, allowedC}, {deniedA, GRANTED, allowedB, allowedC}},
        {"after the denied entries",
         {deniedA, {DENIED, 0, FULL, ADMINISTRATORS}},
         {deniedA, {DENIED, 0, FULL, ADMINISTRATORS}, GRANTED}},
        {"out of order: at the front", {allowedB, deniedA}, {GRANTED, allowedB, deniedA}},
        {"audit met first: appended", {deniedA, audit, allowedB}, {deniedA, audit, allowedB, GRANTED}},
        {"audit behind allowed: front", {allowedB, audit}, {GRANTED, allowedB, audit}},
    };
    for (const GrantCase& c : cases) {
        SCOPED_TRACE(c.name);
        g_seam = SeamRecord();
        KernelObject object;
        object.SetEntries(c.before);
        WORD oldSize = ReadDacl(object.Handle()).aclSize;

        EXPECT_EQ(GrantFullAccess(const_cast<BYTE*>(EveryoneSid), object.Handle()), 1);
        Dacl dacl = ReadDacl(object.Handle());
        EXPECT_EQ(dacl.entries, c.after);
        EXPECT_EQ(dacl.aclSize, oldSize + 28);
        ExpectAllReleased();
    }
}

TEST_F(AccessGrantTest, GrantUsesTheTrusteeItIsGiven)
{
    KernelObject object;
    object.SetEntries({GRANTED});
    std::string administrators = ADMINISTRATORS;
    EXPECT_EQ(GrantFullAccess(&administrators[0], object.Handle()), 1);
    EXPECT_THAT(ReadDacl(object.Handle()).entries, ElementsAre(Ace{ALLOWED, 0, GRANT, ADMINISTRATORS}, GRANTED));
}

TEST_F(AccessGrantTest, GrantOpensANamedPipeCreatedWithWriteDac)
{
    HANDLE pipe =
        CreateNamedPipeW(L"\\\\.\\pipe\\tobra-access-grant-test", PIPE_ACCESS_DUPLEX | WRITE_DAC | FILE_FLAG_OVERLAPPED,
                         0, 1, 4096, 4096, 1000, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GrantFullAccess(const_cast<BYTE*>(EveryoneSid), pipe), 1);
    EXPECT_THAT(ReadDacl(pipe).entries, ElementsAre(GRANTED));
    CloseHandle(pipe);
}

TEST_F(AccessGrantTest, GrantFailsWithoutReadingRightsAndAllocatesNothing)
{
    KernelObject object;
    HANDLE weak = object.Duplicate(SYNCHRONIZE);
    EXPECT_EQ(GrantFullAccess(const_cast<BYTE*>(EveryoneSid), weak), 0);
    CloseHandle(weak);
    EXPECT_EQ(g_seam.allocations, 0);
    EXPECT_EQ(g_seam.foreignFrees, 0);
    EXPECT_FALSE(ReadDacl(object.Handle()).present);
}

TEST_F(AccessGrantTest, GrantWhoseWriteFailsLeavesTheOldDacl)
{
    KernelObject object;
    const Ace allowedB = {ALLOWED, 0, READ, ADMINISTRATORS};
    object.SetEntries({allowedB});
    HANDLE readOnly = object.Duplicate(READ_CONTROL);
    EXPECT_EQ(GrantFullAccess(const_cast<BYTE*>(EveryoneSid), readOnly), 0);
    CloseHandle(readOnly);
    EXPECT_EQ(g_seam.setCalls, 1);
    EXPECT_THAT(ReadDacl(object.Handle()).entries, ElementsAre(allowedB));
    ExpectAllReleased();
}

TEST_F(AccessGrantTest, GrantFailsWhenTheDaclHasNoRoomForAnotherEntry)
{
    // 3,276 entries of 20 bytes fill an ACL to 65,528 bytes; one more entry
    // would pass the 16-bit size limit.
    std::vector<Ace> entries(3276, Ace{ALLOWED, 0, READ, LOCAL_SYSTEM});
    KernelObject object;
    object.SetEntries(entries);
    ASSERT_EQ(ReadDacl(object.Handle()).entries.size(), entries.size());

    EXPECT_EQ(GrantFullAccess(const_cast<BYTE*>(EveryoneSid), object.Handle()), 0);
    EXPECT_EQ(g_seam.setCalls, 0);
    EXPECT_EQ(ReadDacl(object.Handle()).entries.size(), entries.size());
    ExpectAllReleased();
}

struct FailureCase {
    const char* name;
    int failAllocation;
    int failAclInformation;
    int failAddAce;
};

TEST_F(AccessGrantTest, GrantFailureAtAnyStepLeavesTheObjectAndReleasesEverything)
{
    // The old DACL holds two entries, so the copy makes AddAce calls 1 and 2
    // and the new entry call 3. Size queries: 1 FindEqualAce, 2 the size,
    // 3 CopyAces. Allocations: 1 the entry, 2 the new DACL.
    const FailureCase cases[] = {
        {"the entry cannot be allocated", 1, 0, 0},      {"the new DACL cannot be allocated", 2, 0, 0},
        {"the old DACL's size cannot be read", 0, 2, 0}, {"the copy cannot read the old DACL", 0, 3, 0},
        {"the copy cannot add an entry", 0, 0, 2},       {"the new entry cannot be added", 0, 0, 3},
    };
    const std::vector<Ace> before = {{DENIED, 0, READ, LOCAL_SYSTEM}, {ALLOWED, 0, READ, ADMINISTRATORS}};
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        KernelObject object;
        object.SetEntries(before);
        g_seam = SeamRecord();
        g_seam.failAllocation = c.failAllocation;
        g_seam.failAclInformation = c.failAclInformation;
        g_seam.failAddAce = c.failAddAce;

        EXPECT_EQ(GrantFullAccess(const_cast<BYTE*>(EveryoneSid), object.Handle()), 0);
        EXPECT_EQ(g_seam.setCalls, 0);
        EXPECT_EQ(ReadDacl(object.Handle()).entries, before);
        ExpectAllReleased();
    }
}

}  // namespace
