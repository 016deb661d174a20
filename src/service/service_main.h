// Service life cycle as the service control manager sees it.
#pragma once

#include <windows.h>

void WINAPI ServiceMain(DWORD argumentCount, LPWSTR* arguments);
