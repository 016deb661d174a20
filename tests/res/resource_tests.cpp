// The resources compiled into TobraService.exe, read back with the resource
// and version APIs, and the executable's PE header.
#include <gtest/gtest.h>

#include <string>

#include "TobraEvents.h"
#include "res/resource.h"
#include "support/test_support.h"

namespace {

std::wstring ServicePath()
{
    return test::ModuleDirectory() + L"\\TobraService.exe";
}

class ResourceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        module_ = LoadLibraryExW(ServicePath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module_, nullptr) << GetLastError();
    }
    void TearDown() override
    {
        if (module_ != nullptr)
            FreeLibrary(module_);
    }

    std::string Resource(LPCWSTR name, LPCWSTR type)
    {
        HRSRC resource = FindResourceW(module_, name, type);
        if (resource == nullptr)
            return std::string();
        HGLOBAL loaded = LoadResource(module_, resource);
        const char* data = static_cast<const char*>(LockResource(loaded));
        return std::string(data, SizeofResource(module_, resource));
    }

    HMODULE module_ = nullptr;
};

TEST_F(ResourceTest, ManifestAsksForCommonControlsSixAndDeclaresFiveSystems)
{
    std::string manifest = Resource(MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
    ASSERT_FALSE(manifest.empty());
    EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
    const char* systems[] = {
        "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  // Vista
        "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // 7
        "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // 8
        "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // 8.1
        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // 10
    };
    for (const char* id : systems)
        EXPECT_NE(manifest.find(std::string("<supportedOS Id=\"") + id + "\"/>"), std::string::npos) << id;
}

TEST_F(ResourceTest, IconLoadsAtSixteenPixels)
{
    HICON icon = static_cast<HICON>(LoadImageW(module_, MAKEINTRESOURCEW(IDI_SERVICE), IMAGE_ICON, 16, 16, 0));
    ASSERT_NE(icon, nullptr);
    ICONINFO info = {};
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAP bitmap = {};
    HBITMAP image = info.hbmColor != nullptr ? info.hbmColor : info.hbmMask;
    ASSERT_NE(GetObjectW(image, sizeof(bitmap), &bitmap), 0);
    EXPECT_EQ(bitmap.bmWidth, 16);
    EXPECT_EQ(bitmap.bmHeight, 16);
    if (info.hbmColor != nullptr)
        DeleteObject(info.hbmColor);
    if (info.hbmMask != nullptr)
        DeleteObject(info.hbmMask);
    DestroyIcon(icon);
}

TEST(VersionBlock, FileAndProductVersionAreOneZeroZero)
{
    std::wstring path = ServicePath();
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::string block(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);

    const WCHAR* keys[] = {L"\\StringFileInfo\\040904b0\\FileVersion", L"\\StringFileInfo\\040904b0\\ProductVersion"};
    for (const WCHAR* key : keys) {
        WCHAR* text = nullptr;
        ASSERT_TRUE(VerQueryValueW(block.data(), key, reinterpret_cast<void**>(&text), &length));
        EXPECT_STREQ(text, L"1.0.0");
    }
}

// --- PE header -------------------------------------------------------------------

DWORD RvaToOffset(const IMAGE_NT_HEADERS64* nt, DWORD rva)
{
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        if (rva >= section->VirtualAddress && rva < section->VirtualAddress + section->Misc.VirtualSize)
            return rva - section->VirtualAddress + section->PointerToRawData;
    }
    return 0;
}

TEST(PortableExecutable, IsA64BitGuiProgramImportingOnlySystemLibraries)
{
    std::string image = test::ReadFileBytes(ServicePath());
    ASSERT_GT(image.size(), sizeof(IMAGE_DOS_HEADER));
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
    ASSERT_EQ(dos->e_magic, IMAGE_DOS_SIGNATURE);
    const IMAGE_NT_HEADERS64* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(image.data() + dos->e_lfanew);
    ASSERT_EQ(nt->Signature, IMAGE_NT_SIGNATURE);
    EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
    ASSERT_EQ(nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);  // PE32+
    EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);

    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    DWORD offset = RvaToOffset(nt, imports.VirtualAddress);
    ASSERT_NE(offset, 0u);
    const char* allowed[] = {"kernel32.dll", "user32.dll",  "advapi32.dll", "comctl32.dll", "shlwapi.dll",
                             "shell32.dll",  "ole32.dll",   "oleaut32.dll", "iphlpapi.dll", "msvcrt.dll",
                             "gdi32.dll",    "version.dll", "ws2_32.dll",   "rpcrt4.dll",   "ntdll.dll"};
    int count = 0;
    for (const IMAGE_IMPORT_DESCRIPTOR* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(image.data() + offset);
         entry->Name != 0; ++entry, ++count) {
        std::string name = image.data() + RvaToOffset(nt, entry->Name);
        for (char& c : name)
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        bool system = false;
        for (const char* dll : allowed)
            system = system || name == dll;
        if (name.rfind("api-ms-win-", 0) == 0)
            system = true;
        EXPECT_TRUE(system) << "imports " << name;
    }
    EXPECT_GT(count, 0);
}

}  // namespace

// Every event id the service reports resolves in its own message table, as
// Event Viewer reads it, and uses exactly the insertions the code passes.
struct EventMessage {
    DWORD id;
    const wchar_t* begins;
    int insertions;
};

TEST_F(ResourceTest, EveryEventIdResolvesToItsTextWithItsInsertions)
{
    const EventMessage messages[] = {
        {MSG_INVALID_SETTING, L"Tobra Service did not start: the setting %1 is not valid.", 1},
        {MSG_CANNOT_SERVE, L"Tobra Service stopped because it cannot serve its clients: %1 (error %2).", 2},
        {MSG_PIPE_NAME_HELD, L"Another program holds the control pipe name %1 (error %2).", 2},
        {MSG_REQUEST_REFUSED, L"A request of %1 (process %2) for the adapter %3 was refused by policy.", 3},
        {MSG_REQUEST_REFUSED_AFTER_OTHERS, L"A request of %1 (process %2) for the adapter %3 was refused by policy.", 4},
        {MSG_REFUSALS_NOT_REPORTED, L"%1 refused requests were not reported", 1},
        {MSG_ACTION_RAN, L"%1 of the adapter %2 (%3) for %4 (process %5): %6.", 8},
    };
    for (const EventMessage& message : messages) {
        WCHAR text[1024] = L"";
        DWORD chars = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, module_, message.id,
                                     MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, 1024, nullptr);
        ASSERT_GT(chars, 0u) << std::hex << message.id << " does not resolve: error " << std::dec << GetLastError();
        std::wstring found(text, chars);
        EXPECT_EQ(found.compare(0, wcslen(message.begins), message.begins), 0) << std::hex << message.id;
        for (int n = 1; n <= 9; ++n) {
            bool present = found.find(L"%" + std::to_wstring(n)) != std::wstring::npos;
            EXPECT_EQ(present, n <= message.insertions) << std::hex << message.id << std::dec << ": %" << n;
        }
    }
}
