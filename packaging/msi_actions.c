/* Custom actions of the Tobra Service package. The package carries this DLL in
 * its Binary table; nothing of it is installed.
 *
 * Windows Installer registers the service with the executable's path as the
 * image path, and some implementations (Wine's, for one) leave it unquoted.
 * Under "C:\Program Files\..." an unquoted path lets whoever can write
 * "C:\Program.exe" have it run as LocalSystem, so the package sets the path
 * itself, quoted, right after the service is registered. */
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include "image_path.h"

/* Service names are at most 256 characters; image paths are limited by the
 * registry value only, but a path beyond the long-path limit would not start. */
#define NAME_CAPACITY 257
#define PATH_CAPACITY 32800

/* A line in the installation log (msiexec /l*v): the format may use [1] for
 * the text and [2] for the number. */
static void Report(MSIHANDLE install, const wchar_t* format, const wchar_t* text, DWORD number)
{
    MSIHANDLE record = MsiCreateRecord(2);
    if (record == 0)
        return;
    MsiRecordSetStringW(record, 0, format);
    MsiRecordSetStringW(record, 1, text);
    MsiRecordSetInteger(record, 2, (int)number);
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

/* The deferred action's data (its CustomActionData property) on the heap; NULL on failure. */
static wchar_t* ReadActionData(MSIHANDLE install)
{
    wchar_t none[1] = {L'\0'};
    DWORD length = 0;
    wchar_t* data;
    UINT result = MsiGetPropertyW(install, L"CustomActionData", none, &length);
    if (result != ERROR_MORE_DATA && result != ERROR_SUCCESS)
        return NULL;
    ++length;
    data = (wchar_t*)HeapAlloc(GetProcessHeap(), 0, length * sizeof(wchar_t));
    if (data == NULL)
        return NULL;
    if (MsiGetPropertyW(install, L"CustomActionData", data, &length) != ERROR_SUCCESS) {
        HeapFree(GetProcessHeap(), 0, data);
        return NULL;
    }
    return data;
}

/* Sets the image path of the service; the error code, 0 on success. */
static DWORD SetImagePath(const wchar_t* serviceName, const wchar_t* imagePath)
{
    DWORD error = ERROR_SUCCESS;
    SC_HANDLE service;
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager == NULL)
        return GetLastError();
    service = OpenServiceW(manager, serviceName, SERVICE_CHANGE_CONFIG);
    if (service == NULL) {
        error = GetLastError();
    } else {
        if (!ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, imagePath, NULL,
                                  NULL, NULL, NULL, NULL, NULL))
            error = GetLastError();
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return error;
}

/* Deferred, not impersonated. CustomActionData: "service name|executable path|arguments". */
__declspec(dllexport) UINT __stdcall QuoteServiceImagePath(MSIHANDLE install)
{
    UINT result = ERROR_INSTALL_FAILURE;
    wchar_t serviceName[NAME_CAPACITY];
    wchar_t* imagePath = NULL;
    DWORD error;
    wchar_t* data = ReadActionData(install);

    if (data == NULL) {
        Report(install, L"QuoteServiceImagePath: cannot read the action data", L"", 0);
        return ERROR_INSTALL_FAILURE;
    }
    imagePath = (wchar_t*)HeapAlloc(GetProcessHeap(), 0, PATH_CAPACITY * sizeof(wchar_t));
    if (imagePath == NULL) {
        Report(install, L"QuoteServiceImagePath: out of memory", L"", 0);
    } else if (!BuildServiceImagePath(data, serviceName, NAME_CAPACITY, imagePath, PATH_CAPACITY)) {
        Report(install, L"QuoteServiceImagePath: malformed action data \"[1]\"", data, 0);
    } else if ((error = SetImagePath(serviceName, imagePath)) != ERROR_SUCCESS) {
        Report(install, L"QuoteServiceImagePath: cannot set the image path of the service: [1], error [2]",
               serviceName, error);
    } else {
        Report(install, L"QuoteServiceImagePath: image path set to [1]", imagePath, 0);
        result = ERROR_SUCCESS;
    }
    if (imagePath != NULL)
        HeapFree(GetProcessHeap(), 0, imagePath);
    HeapFree(GetProcessHeap(), 0, data);
    return result;
}
