// The MSI package under the prefix's Windows Installer: msiexec installs,
// reinstalls, upgrades and removes it quietly, as an administrator would; the
// results are read back through the installer, the service-manager API and
// the file system. Each test starts and ends with nothing of the product
// installed, since other tests register a service of the same name.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <stdio.h>
#include <string>
#include <vector>

#include "service_client.h"
#include "tobra_wire.h"
#include "support/test_support.h"

using ::testing::HasSubstr;
using ::testing::UnorderedElementsAre;
using namespace serviceclient;

// policy_property_tests.cpp

namespace {

const DWORD MSIEXEC_TIMEOUT_MS = 60000;
const DWORD START_TIMEOUT_MS = 15000;
const DWORD TOBRACTL_TIMEOUT_MS = 20000;
const std::wstring WORK_FOLDER = L"C:\\tobra-package-tests";
const std::wstring SETTINGS_KEY = L"Software\\norva\\Tobra Service";
const wchar_t GROUP_POLICY_ROOT[] = L"Software\\Policies\\norva";
const wchar_t GROUP_POLICY_KEY[] = L"Software\\Policies\\norva\\Tobra Service";
// msiexec's exit code for a failed install (a launch condition included).
const long INSTALL_FAILURE = ERROR_INSTALL_FAILURE;
// tobractl's exit code for a well-formed reply that says "not done".
const long TOBRACTL_NOT_DONE = 1;
const char RAW_REQUEST[] = "raw 54 42 01 00 02 00 00 00 00 00 00 00";

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

std::wstring ProductPackage()
{
    return test::ModuleDirectory() + L"\\" + TOBRA_MSI;
}

std::wstring NextPackage()
{
    return test::ModuleDirectory() + L"\\" + TOBRA_NEXT_MSI;
}

// --- The installer ------------------------------------------------------------------

// A property of a package's Property table; empty when it is not there.
std::wstring PackageProperty(const std::wstring& package, const wchar_t* name)
{
    std::wstring value;
    MSIHANDLE database = 0;
    if (MsiOpenDatabaseW(package.c_str(), MSIDBOPEN_READONLY, &database) != ERROR_SUCCESS)
        return value;
    std::wstring query = std::wstring(L"SELECT `Value` FROM `Property` WHERE `Property` = '") + name + L"'";
    MSIHANDLE view = 0;
    if (MsiDatabaseOpenViewW(database, query.c_str(), &view) == ERROR_SUCCESS) {
        MSIHANDLE record = 0;
        if (MsiViewExecute(view, 0) == ERROR_SUCCESS && MsiViewFetch(view, &record) == ERROR_SUCCESS) {
            WCHAR buffer[512] = L"";
            DWORD size = 512;
            if (MsiRecordGetStringW(record, 1, buffer, &size) == ERROR_SUCCESS)
                value = buffer;
            MsiCloseHandle(record);
        }
        MsiViewClose(view);
        MsiCloseHandle(view);
    }
    MsiCloseHandle(database);
    return value;
}

// The long names of the files a package installs.
std::vector<std::wstring> PackageFiles(const std::wstring& package)
{
    std::vector<std::wstring> files;
    MSIHANDLE database = 0;
    if (MsiOpenDatabaseW(package.c_str(), MSIDBOPEN_READONLY, &database) != ERROR_SUCCESS)
        return files;
    MSIHANDLE view = 0;
    if (MsiDatabaseOpenViewW(database, L"SELECT `FileName` FROM `File`", &view) == ERROR_SUCCESS) {
        MSIHANDLE record = 0;
        if (MsiViewExecute(view, 0) == ERROR_SUCCESS) {
            while (MsiViewFetch(view, &record) == ERROR_SUCCESS) {
                WCHAR buffer[512] = L"";
                DWORD size = 512;
                if (MsiRecordGetStringW(record, 1, buffer, &size) == ERROR_SUCCESS) {
                    std::wstring name(buffer);  // "short|long" or just the long name
                    files.push_back(name.substr(name.find(L'|') + 1));
                }
                MsiCloseHandle(record);
            }
        }
        MsiViewClose(view);
        MsiCloseHandle(view);
    }
    MsiCloseHandle(database);
    return files;
}

std::wstring PackageTemplate(const std::wstring& package)
{
    std::wstring value;
    MSIHANDLE summary = 0;
    if (MsiGetSummaryInformationW(0, package.c_str(), 0, &summary) != ERROR_SUCCESS)
        return value;
    UINT type = 0;
    INT number = 0;
    FILETIME time = {};
    WCHAR buffer[256] = L"";
    DWORD size = 256;
    if (MsiSummaryInfoGetPropertyW(summary, PIDSI_TEMPLATE, &type, &number, &time, buffer, &size) == ERROR_SUCCESS)
        value = buffer;
    MsiCloseHandle(summary);
    return value;
}

// Product codes installed under the upgrade code.
std::vector<std::wstring> InstalledProducts(const std::wstring& upgradeCode)
{
    std::vector<std::wstring> products;
    WCHAR code[39];
    for (DWORD i = 0; MsiEnumRelatedProductsW(upgradeCode.c_str(), 0, i, code) == ERROR_SUCCESS; ++i)
        products.push_back(code);
    return products;
}

std::wstring InstalledVersion(const std::wstring& productCode)
{
    WCHAR buffer[64] = L"";
    DWORD size = 64;
    if (MsiGetProductInfoW(productCode.c_str(), INSTALLPROPERTY_VERSIONSTRING, buffer, &size) != ERROR_SUCCESS)
        return L"";
    return buffer;
}

// --- The service ----------------------------------------------------------------------

struct ServiceFacts {
    bool exists = false;
    DWORD openError = 0;
    DWORD type = 0;
    DWORD startType = 0;
    std::wstring imagePath;
    std::wstring account;
    SERVICE_STATUS_PROCESS status = {};
};

ServiceFacts QueryTobraService()
{
    ServiceFacts facts;
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle service(
        manager ? OpenServiceW(manager.Get(), L"Tobra Service", SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS) : nullptr);
    if (!service) {
        facts.openError = GetLastError();
        return facts;
    }
    facts.exists = true;
    DWORD needed = 0;
    QueryServiceConfigW(service.Get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed + sizeof(QUERY_SERVICE_CONFIGW));
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (QueryServiceConfigW(service.Get(), config, static_cast<DWORD>(buffer.size()), &needed)) {
        facts.type = config->dwServiceType;
        facts.startType = config->dwStartType;
        facts.imagePath = config->lpBinaryPathName != nullptr ? config->lpBinaryPathName : L"";
        facts.account = config->lpServiceStartName != nullptr ? config->lpServiceStartName : L"";
    }
    WaitForState(service.Get(), SERVICE_RUNNING, START_TIMEOUT_MS, &facts.status);
    return facts;
}

// The executable of an image path, quoted or not.
std::wstring ExecutableOf(const std::wstring& imagePath)
{
    if (!imagePath.empty() && imagePath[0] == L'"')
        return imagePath.substr(1, imagePath.find(L'"', 1) - 1);
    return imagePath.substr(0, imagePath.find(L' '));
}

// "1.0.1" from the executable's version block; empty when it has none.
std::wstring FileVersion(const std::wstring& path)
{
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0)
        return L"";
    std::vector<BYTE> block(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data()) ||
        !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length) || info == nullptr)
        return L"";
    return std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(info->dwFileVersionMS)) +
           L"." + std::to_wstring(HIWORD(info->dwFileVersionLS));
}

// --- Files and the registry --------------------------------------------------------------

std::wstring ProgramFiles()
{
    WCHAR buffer[MAX_PATH] = L"";
    GetEnvironmentVariableW(L"ProgramFiles", buffer, MAX_PATH);
    return buffer;
}

std::wstring InstallFolder()
{
    return ProgramFiles() + L"\\norva\\Tobra Service";
}

std::vector<std::wstring> FolderEntries(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found = {};
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::wstring name(found.cFileName);
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return names;
}

FILETIME LastWriteTime(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
    return data.ftLastWriteTime;
}

bool KeyExists(const std::wstring& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool SettingsKeyExists()
{
    return KeyExists(SETTINGS_KEY);
}

// Where Event Viewer looks up the service's texts.
const std::wstring EVENT_SOURCE_KEY = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tobra Service";

// A value of the settings key: its type and data (terminators kept), or type
// REG_NONE when it is not there.
struct Setting {
    DWORD type = REG_NONE;
    std::wstring data;
};

Setting ReadSetting(const wchar_t* name, const std::wstring& path = SETTINGS_KEY)
{
    Setting setting;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return setting;
    DWORD bytes = 0;
    DWORD type = REG_NONE;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS) {
        std::vector<WCHAR> data(bytes / sizeof(WCHAR) + 1);
        if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &bytes) ==
            ERROR_SUCCESS) {
            setting.type = type;
            setting.data.assign(data.data(), bytes / sizeof(WCHAR));
        }
    }
    RegCloseKey(key);
    return setting;
}

// count distinct SIDs separated by ';'.
std::wstring ClientList(int count)
{
    std::wstring text;
    for (int i = 0; i < count; ++i)
        text += L"S-1-5-21-1-2-3-" + std::to_wstring(1000 + i) + L";";
    return text;
}

// --- Programs --------------------------------------------------------------------------

// The installed tobractl sends a request that only the service answers.
long AskInstalledTobractl(std::string* output)
{
    std::wstring line = L"\"" + InstallFolder() + L"\\tobractl.exe\" --timeout 10000 " +
                        std::wstring(RAW_REQUEST, RAW_REQUEST + sizeof(RAW_REQUEST) - 1);
    return test::RunCaptured(line, TOBRACTL_TIMEOUT_MS, output);
}

class Package : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(test::DeleteTree(WORK_FOLDER));
        ASSERT_TRUE(CreateDirectoryW(WORK_FOLDER.c_str(), nullptr));
        upgradeCode_ = PackageProperty(ProductPackage(), L"UpgradeCode");
        ASSERT_FALSE(upgradeCode_.empty()) << "cannot read " << Narrow(ProductPackage());
        RemoveEverything();
        ClearSettings();
        ASSERT_TRUE(InstalledProducts(upgradeCode_).empty()) << "a product left over cannot be removed";
        ASSERT_TRUE(RemoveService()) << "a registration left over cannot be removed";
        ASSERT_TRUE(test::DeleteTree(test::SERVICE_LOG_ROOT));
    }

    void TearDown() override
    {
        RemoveEverything();
        ClearSettings();
        EXPECT_TRUE(InstalledProducts(upgradeCode_).empty());
        EXPECT_TRUE(RemoveService());
        test::DeleteTree(test::SERVICE_LOG_ROOT);
        if (!HasFailure())
            test::DeleteTree(WORK_FOLDER);
    }

    void RemoveEverything()
    {
        for (const std::wstring& product : InstalledProducts(upgradeCode_))
            Msiexec(L"/x " + product);
    }

    // Settings a test wrote by hand, which no removal takes away.
    static void ClearSettings()
    {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, GROUP_POLICY_ROOT);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, SETTINGS_KEY.c_str());
    }

    // msiexec, quiet, with a verbose log of its own; its exit code, or -1 when
    // it did not end in time.
    long Msiexec(const std::wstring& arguments)
    {
        WCHAR system[MAX_PATH] = L"";
        GetSystemDirectoryW(system, MAX_PATH);
        lastLog_ = WORK_FOLDER + L"\\msiexec-" + std::to_wstring(++runs_) + L".log";
        std::wstring line =
            L"\"" + std::wstring(system) + L"\\msiexec.exe\" " + arguments + L" /qn /l*v \"" + lastLog_ + L"\"";
        double start = NowMs();
        long code = test::RunProcess(line, MSIEXEC_TIMEOUT_MS);
        printf("[ MEASURE  ] msiexec %s: %.0f ms, exit code %ld\n", Narrow(arguments).c_str(), NowMs() - start, code);
        fflush(stdout);
        return code;
    }

    long Install(const std::wstring& package, const std::wstring& properties = L"")
    {
        return Msiexec(L"/i \"" + package + L"\"" + (properties.empty() ? L"" : L" " + properties));
    }

    // The end of the last msiexec log, for failure messages.
    std::string LastLog() const
    {
        std::string bytes = test::ReadFileBytes(lastLog_);
        bytes.erase(std::remove(bytes.begin(), bytes.end(), '\0'), bytes.end());  // UTF-16 on Windows
        return "msiexec log " + Narrow(lastLog_) + ":\n" + bytes.substr(bytes.size() > 3000 ? bytes.size() - 3000 : 0);
    }

    // Whether the last msiexec log holds the text.
    bool LastLogHas(const std::string& text) const
    {
        std::string bytes = test::ReadFileBytes(lastLog_);
        bytes.erase(std::remove(bytes.begin(), bytes.end(), '\0'), bytes.end());
        return bytes.find(text) != std::string::npos;
    }

    // The one installed product, or empty (with a failure) when there is not exactly one.
    std::wstring OnlyProduct()
    {
        std::vector<std::wstring> products = InstalledProducts(upgradeCode_);
        EXPECT_EQ(products.size(), 1u);
        return products.size() == 1 ? products[0] : L"";
    }

    // Installed, running and answering through the installed tobractl.
    void ExpectRunningAndAnswering(ServiceFacts* facts)
    {
        *facts = QueryTobraService();
        ASSERT_TRUE(facts->exists) << "OpenService: " << ErrorText(facts->openError);
        EXPECT_EQ(facts->status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
        std::string output;
        EXPECT_EQ(AskInstalledTobractl(&output), TOBRACTL_NOT_DONE) << output;
        EXPECT_THAT(output, HasSubstr("Reply (12 bytes): 54 42 01 00 02 00"));
    }

    std::wstring upgradeCode_;
    std::wstring lastLog_;
    int runs_ = 0;
};

TEST_F(Package, BothPackagesAre64BitPerMachineVersionsOfOneProduct)
{
    EXPECT_EQ(PackageProperty(ProductPackage(), L"ProductVersion"), TOBRA_MSI_VERSION);
    EXPECT_EQ(PackageProperty(NextPackage(), L"ProductVersion"), TOBRA_NEXT_MSI_VERSION);
    EXPECT_EQ(PackageProperty(NextPackage(), L"UpgradeCode"), upgradeCode_);
    EXPECT_NE(PackageProperty(NextPackage(), L"ProductCode"), PackageProperty(ProductPackage(), L"ProductCode"));
    for (const std::wstring& package : {ProductPackage(), NextPackage()}) {
        SCOPED_TRACE(Narrow(package));
        EXPECT_EQ(PackageProperty(package, L"ALLUSERS"), L"1");
        EXPECT_EQ(PackageTemplate(package), L"x64;1033");
        // The service, its command-line client and the client library (headers, DLL, import
        // library and .def); no stand-in, no tests.
        EXPECT_THAT(PackageFiles(package),
                    UnorderedElementsAre(L"TobraService.exe", L"tobractl.exe", L"tobra_client.h", L"tobra_wire.h",
                                         L"tobra_client.dll", L"libtobra_client.dll.a", L"tobra_client.def"));
    }
}

TEST_F(Package, QuietInstallRunsTheServiceWhichAnswersTheInstalledTobractl)
{
    ASSERT_EQ(Install(ProductPackage()), 0) << LastLog();

    std::wstring product = OnlyProduct();
    EXPECT_EQ(product, PackageProperty(ProductPackage(), L"ProductCode"));
    EXPECT_EQ(MsiQueryProductStateW(product.c_str()), INSTALLSTATE_DEFAULT);
    EXPECT_EQ(InstalledVersion(product), TOBRA_MSI_VERSION);

    ServiceFacts facts;
    ExpectRunningAndAnswering(&facts);
    EXPECT_EQ(facts.type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(facts.startType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(facts.account, L"LocalSystem");
    // Quoted: under "Program Files" an unquoted path would run C:\Program.exe first.
    // No switch: the service logs nothing unless asked at install time.
    EXPECT_EQ(facts.imagePath, L"\"" + InstallFolder() + L"\\TobraService.exe\"");
    EXPECT_EQ(FileVersion(ExecutableOf(facts.imagePath)), TOBRA_MSI_VERSION);
    EXPECT_THAT(FolderEntries(InstallFolder()),
                UnorderedElementsAre(L"TobraService.exe", L"tobractl.exe", L"tobra_client.h", L"tobra_wire.h",
                                     L"tobra_client.dll", L"libtobra_client.dll.a", L"tobra_client.def"));
    EXPECT_EQ(FileVersion(InstallFolder() + L"\\tobra_client.dll"), TOBRA_MSI_VERSION);
    EXPECT_FALSE(test::PathExists(test::SERVICE_LOG_FILE));
    // Recovery actions, set by the package's own action: Wine's service
    // manager takes the restarts but refuses the flag, and the install goes on.
    bool recoverySet = LastLogHas("SetServiceRecoveryActions: Tobra Service restarts after 1 s, 10 s and 60 s");
    bool flagRefused = LastLogHas(
        "SetServiceRecoveryActions: the restarts are set; cannot apply the failure actions to stops with an error, "
        "error 124");
    EXPECT_TRUE(recoverySet || flagRefused) << LastLog();
    printf("[ OUTPUT   ] recovery actions: %s\n", recoverySet ? "set" : "restarts set, flag refused (error 124)");
}

TEST_F(Package, SecondInstallOfTheSameVersionChangesNothing)
{
    ASSERT_EQ(Install(ProductPackage()), 0) << LastLog();
    ServiceFacts before;
    ExpectRunningAndAnswering(&before);
    FILETIME written = LastWriteTime(InstallFolder() + L"\\TobraService.exe");

    ASSERT_EQ(Install(ProductPackage()), 0) << LastLog();

    EXPECT_EQ(OnlyProduct(), PackageProperty(ProductPackage(), L"ProductCode"));
    ServiceFacts after;
    ExpectRunningAndAnswering(&after);
    EXPECT_EQ(after.status.dwProcessId, before.status.dwProcessId) << "the service was restarted";
    EXPECT_EQ(after.imagePath, before.imagePath);
    FILETIME rewritten = LastWriteTime(InstallFolder() + L"\\TobraService.exe");
    EXPECT_EQ(CompareFileTime(&written, &rewritten), 0) << "the executable was written again";
    EXPECT_EQ(CountServiceProcesses(), 1);
}

TEST_F(Package, HigherVersionUpgradesInPlaceKeepsDiagnosticsAndRefusesTheDowngrade)
{
    ASSERT_EQ(Install(ProductPackage(), L"DIAGNOSTICS=log"), 0) << LastLog();
    ServiceFacts old;
    ExpectRunningAndAnswering(&old);

    ASSERT_EQ(Install(NextPackage()), 0) << LastLog();

    std::wstring product = OnlyProduct();
    EXPECT_EQ(product, PackageProperty(NextPackage(), L"ProductCode"));
    EXPECT_EQ(InstalledVersion(product), TOBRA_NEXT_MSI_VERSION);
    ServiceFacts upgraded;
    ExpectRunningAndAnswering(&upgraded);
    EXPECT_NE(upgraded.status.dwProcessId, old.status.dwProcessId) << "the old process still serves";
    // Same place, same quoting, and the choice of logging made at the first install.
    EXPECT_EQ(upgraded.imagePath, L"\"" + InstallFolder() + L"\\TobraService.exe\" -dlog");
    EXPECT_EQ(FileVersion(ExecutableOf(upgraded.imagePath)), TOBRA_NEXT_MSI_VERSION);
    EXPECT_EQ(CountServiceProcesses(), 1);

    // The older package stops before it removes anything.
    EXPECT_EQ(Install(ProductPackage()), INSTALL_FAILURE) << LastLog();
    EXPECT_EQ(OnlyProduct(), product);
    ServiceFacts after;
    ExpectRunningAndAnswering(&after);
    EXPECT_EQ(after.status.dwProcessId, upgraded.status.dwProcessId);
    EXPECT_EQ(FileVersion(ExecutableOf(after.imagePath)), TOBRA_NEXT_MSI_VERSION);
}

TEST_F(Package, UninstallStopsAndRemovesTheServiceItsFilesAndSettings)
{
    bool norvaFolderExisted = test::PathExists(ProgramFiles() + L"\\norva");
    ASSERT_EQ(Install(ProductPackage(), L"DIAGNOSTICS=out"), 0) << LastLog();
    ServiceFacts installed;
    ExpectRunningAndAnswering(&installed);
    EXPECT_TRUE(SettingsKeyExists());
    // The Event Log source: the installed executable's messages, all three types.
    Setting messages = ReadSetting(L"EventMessageFile", EVENT_SOURCE_KEY);
    EXPECT_EQ(messages.type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(std::wstring(messages.data.c_str()), InstallFolder() + L"\\TobraService.exe");
    Setting types = ReadSetting(L"TypesSupported", EVENT_SOURCE_KEY);
    EXPECT_EQ(types.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(types.data, std::wstring(L"\x0007\x0000", 2)) << "7, as two UTF-16 units";
    std::wstring product = OnlyProduct();

    ASSERT_EQ(Msiexec(L"/x " + product), 0) << LastLog();
    EXPECT_FALSE(KeyExists(EVENT_SOURCE_KEY));

    ServiceFacts removed = QueryTobraService();
    EXPECT_FALSE(removed.exists);
    EXPECT_EQ(removed.openError, static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_EQ(CountServiceProcesses(), 0);
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, installed.status.dwProcessId);
    if (process != nullptr) {  // the id may already belong to no one
        EXPECT_EQ(WaitForSingleObject(process, 0), WAIT_OBJECT_0);
        CloseHandle(process);
    }
    EXPECT_TRUE(InstalledProducts(upgradeCode_).empty());
    EXPECT_EQ(MsiQueryProductStateW(product.c_str()), INSTALLSTATE_UNKNOWN);
    EXPECT_FALSE(test::PathExists(InstallFolder()));
    if (!norvaFolderExisted) {
        EXPECT_FALSE(test::PathExists(ProgramFiles() + L"\\norva"));
    }
    EXPECT_FALSE(SettingsKeyExists());
}

// The administrators' settings: written as the service reads them, only when
// given, kept across an upgrade, removed with the product; a bad value stops
// the install before anything is installed or written.
TEST_F(Package, PolicyPropertiesAreWrittenKeptAcrossTheUpgradeAndRemoved)
{
    const struct {
        std::wstring property;
        const char* logged;
    } wrong[] = {
        {L"ALLOWEDADAPTERS=00-11-22-33-44", "ALLOWEDADAPTERS is not a list"},
        {L"ALLOWEDADAPTERS=\"00-11-22-33-44-55;x\"", "ALLOWEDADAPTERS is not a list"},
        // One too many, in the shortest form: it used to be written, and the service then refused to start.
        {L"ALLOWEDADAPTERS=\"" + test::AddressList(257, true) + L"\"", "ALLOWEDADAPTERS is not a list of at most 256"},
        {L"ALLOWEDCLIENTS=BU", "ALLOWEDCLIENTS is not a list"},
        {L"ALLOWEDCLIENTS=S-1-5", "ALLOWEDCLIENTS is not a list"},
        {L"ALLOWEDCLIENTS=\"S-1-5-4;BU\"", "ALLOWEDCLIENTS is not a list"},
        {L"ALLOWEDCLIENTS=\"" + ClientList(33) + L"\"", "ALLOWEDCLIENTS is not a list of at most 32 SIDs"},
    };
    for (const auto& c : wrong) {
        SCOPED_TRACE(c.logged);
        EXPECT_EQ(Install(ProductPackage(), c.property), INSTALL_FAILURE) << LastLog();
        EXPECT_TRUE(LastLogHas(c.logged)) << LastLog();
        EXPECT_TRUE(InstalledProducts(upgradeCode_).empty());
        EXPECT_EQ(ReadSetting(L"AllowedAdapters").type, static_cast<DWORD>(REG_NONE)) << "written before the check";
        EXPECT_EQ(ReadSetting(L"AllowedClients").type, static_cast<DWORD>(REG_NONE));
    }

    // Unset: no value at all, not an empty one.
    ASSERT_EQ(Install(ProductPackage()), 0) << LastLog();
    EXPECT_EQ(ReadSetting(L"AllowedAdapters").type, static_cast<DWORD>(REG_NONE));
    EXPECT_EQ(ReadSetting(L"AllowedClients").type, static_cast<DWORD>(REG_NONE));
    ASSERT_EQ(Msiexec(L"/x " + OnlyProduct()), 0) << LastLog();

    // Several groups: a multi-string, which Wine's registry search cannot read back at the upgrade.
    ASSERT_EQ(Install(ProductPackage(), L"ALLOWEDADAPTERS=\"00:11:22:33:44:55; 0011223344AA\" "
                                        L"ALLOWEDCLIENTS=\" S-1-5-32-556;S-1-5-4 ;;S-1-5-21-1-2-3-1105;\""),
              0)
        << LastLog();
    const std::wstring clients(
        L"S-1-5-32-556\0"
        L"S-1-5-4\0"
        L"S-1-5-21-1-2-3-1105\0\0",
        42);
    const std::wstring adapters(
        L"00-11-22-33-44-55\0"
        L"00-11-22-33-44-AA\0\0",
        37);
    Setting written = ReadSetting(L"AllowedAdapters");
    EXPECT_EQ(written.type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(written.data, adapters);
    EXPECT_EQ(ReadSetting(L"AllowedClients").type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(ReadSetting(L"AllowedClients").data, clients);
    ServiceFacts facts;
    ExpectRunningAndAnswering(&facts);

    // The upgrade reads both multi-strings back and writes them again.
    ASSERT_EQ(Install(NextPackage()), 0) << LastLog();
    EXPECT_EQ(ReadSetting(L"AllowedAdapters").data, adapters) << LastLog();
    EXPECT_EQ(ReadSetting(L"AllowedClients").type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(ReadSetting(L"AllowedClients").data, clients) << LastLog();
    ExpectRunningAndAnswering(&facts);

    // One SID is written as the REG_SZ it always was; the addresses are kept across the repair.
    ASSERT_EQ(Install(NextPackage(), L"REINSTALL=ALL ALLOWEDCLIENTS=S-1-5-32-545"), 0) << LastLog();
    EXPECT_EQ(ReadSetting(L"AllowedAdapters").data, adapters) << LastLog();
    EXPECT_EQ(ReadSetting(L"AllowedClients").type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(ReadSetting(L"AllowedClients").data, std::wstring(L"S-1-5-32-545\0", 13));
    ExpectRunningAndAnswering(&facts);
    // A record of a disabled adapter for the removal below. (An upgrade keeps the
    // record only where Windows Installer tells the old product's removal that it
    // is an upgrade's, UPGRADINGPRODUCTCODE; Wine's does not, so it is written here.)
    ASSERT_TRUE(test::WriteRegistryValue(HKEY_LOCAL_MACHINE, TOBRA_DISABLED_ADAPTERS_KEY, L"00-11-22-33-44-55", REG_SZ,
                                         L"{4D36E972-E325-11CE-BFC1-08002BE10318}"));

    // An installed value that the service refuses is not read as two SIDs: the repair stops and leaves it.
    const std::wstring refused = L"S-1-5-4;S-1-5-32-545";
    ASSERT_TRUE(
        test::WriteRegistryValue(HKEY_LOCAL_MACHINE, SETTINGS_KEY.c_str(), L"AllowedClients", REG_SZ, refused));
    EXPECT_EQ(Install(NextPackage(), L"REINSTALL=ALL"), INSTALL_FAILURE) << LastLog();
    EXPECT_TRUE(LastLogHas("ALLOWEDCLIENTS is not a list")) << LastLog();
    EXPECT_EQ(ReadSetting(L"AllowedClients").data, refused + L'\0');

    ASSERT_EQ(Msiexec(L"/x " + OnlyProduct()), 0) << LastLog();
    EXPECT_FALSE(KeyExists(TOBRA_DISABLED_ADAPTERS_KEY));
    EXPECT_EQ(ReadSetting(L"AllowedAdapters").type, static_cast<DWORD>(REG_NONE));
    EXPECT_EQ(ReadSetting(L"AllowedClients").type, static_cast<DWORD>(REG_NONE));
    EXPECT_FALSE(SettingsKeyExists());
}

// An install that fails after the settings were written puts them back as
// they were. Here the service cannot start, as Group Policy names an alias for
// its clients, so StartServices fails and the install rolls back.
TEST_F(Package, AFailedInstallPutsTheSettingsBackAsTheyWere)
{
    const std::wstring before = test::MultiString({L" 00:11:22:33:44:66 "});
    ASSERT_TRUE(
        test::WriteRegistryValue(HKEY_LOCAL_MACHINE, SETTINGS_KEY.c_str(), L"AllowedAdapters", REG_MULTI_SZ, before));
    ASSERT_TRUE(test::WriteRegistryValue(HKEY_LOCAL_MACHINE, GROUP_POLICY_KEY, L"AllowedClients", REG_SZ, L"BU"));

    // Windows Installer ends it with 1603, Wine's with 1627 (ERROR_FUNCTION_FAILED).
    long code = Install(ProductPackage(), L"ALLOWEDADAPTERS=00-11-22-33-44-55 ALLOWEDCLIENTS=S-1-5-32-545");
    EXPECT_TRUE(code == INSTALL_FAILURE || code == ERROR_FUNCTION_FAILED) << code << "\n" << LastLog();

    EXPECT_TRUE(InstalledProducts(upgradeCode_).empty());
    EXPECT_TRUE(LastLogHas("RollbackPolicySettings: the settings are as they were")) << LastLog();
    Setting adapters = ReadSetting(L"AllowedAdapters");
    EXPECT_EQ(adapters.type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(adapters.data, before) << "not the value that was there";
    EXPECT_EQ(ReadSetting(L"AllowedClients").type, static_cast<DWORD>(REG_NONE)) << "the failed install's value stays";
}

TEST_F(Package, DiagnosticsPropertyTurnsTheLogOnAndOff)
{
    // Not a word the service knows: refused before anything is installed.
    for (const wchar_t* wrong : {L"DIAGNOSTICS=verbose", L"DIAGNOSTICS=LOG"}) {
        EXPECT_EQ(Install(ProductPackage(), wrong), INSTALL_FAILURE) << LastLog();
        EXPECT_TRUE(InstalledProducts(upgradeCode_).empty());
        EXPECT_FALSE(QueryTobraService().exists);
    }

    ASSERT_EQ(Install(ProductPackage(), L"DIAGNOSTICS=log"), 0) << LastLog();
    ServiceFacts facts;
    ExpectRunningAndAnswering(&facts);
    EXPECT_EQ(facts.imagePath, L"\"" + InstallFolder() + L"\\TobraService.exe\" -dlog");
    ASSERT_TRUE(test::PathExists(test::SERVICE_LOG_FILE));
    std::vector<std::wstring> lines = test::ParseLogMessages(test::ReadFileBytes(test::SERVICE_LOG_FILE));
    EXPECT_THAT(lines, testing::Contains(L"*** Recv pipe message ***"));

    // Changing the choice of an installed version takes a reinstall, which checks it too.
    EXPECT_EQ(Install(ProductPackage(), L"DIAGNOSTICS=verbose REINSTALL=ALL"), INSTALL_FAILURE) << LastLog();
    ServiceFacts unchanged = QueryTobraService();
    EXPECT_EQ(unchanged.imagePath, facts.imagePath);
    EXPECT_EQ(unchanged.status.dwProcessId, facts.status.dwProcessId);
    ASSERT_EQ(Install(ProductPackage(), L"DIAGNOSTICS=off REINSTALL=ALL"), 0) << LastLog();
    ASSERT_TRUE(test::DeleteTree(test::SERVICE_LOG_ROOT));
    ServiceFacts quiet;
    ExpectRunningAndAnswering(&quiet);
    EXPECT_NE(quiet.status.dwProcessId, facts.status.dwProcessId);
    EXPECT_EQ(quiet.imagePath, L"\"" + InstallFolder() + L"\\TobraService.exe\"");
    EXPECT_FALSE(test::PathExists(test::SERVICE_LOG_FILE));
}

}  // namespace
