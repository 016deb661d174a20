// The Event Log: what administrators see in Event Viewer without the
// diagnostic log. Always on: the source "Tobra Service" in the Application
// log, registered at start and deregistered at the end; ids and texts come
// from the message table in TobraService.exe (TobraEvents.mc). Nothing here
// stops the service: an event that cannot be reported is lost.
#pragma once

#include <windows.h>

#include "TobraEvents.h"

// Refusals are reported at most once in this many milliseconds; the next one
// says how many were left out.
constexpr DWORD EVENT_REFUSAL_INTERVAL_MS = 1000;

// The longest insertion the service builds (an account name, an adapter name).
constexpr int EVENT_TEXT_CHARS = 260;

// The calls tests replace to see each event's id, type and strings.
struct EventPlatform {
    decltype(&::RegisterEventSourceW) RegisterEventSourceW;
    decltype(&::ReportEventW) ReportEventW;
    decltype(&::DeregisterEventSource) DeregisterEventSource;
    decltype(&::GetTickCount) GetTickCount;
};
extern EventPlatform g_eventPlatform;

// Opened by ServiceMain first, closed by TerminateService last; null outside
// a service run, when no event is reported.
extern HANDLE g_eventSource;

void EventLogOpen();
// Reports the refusals not yet reported, then deregisters the source.
void EventLogClose();

void ReportInvalidSettingEvent(const WCHAR* settingName);
void ReportCannotServeEvent(const WCHAR* reason, DWORD error);
void ReportPipeNameHeldEvent(const WCHAR* pipeName, DWORD error);
// Limited to one event a second; called by the pipe thread only.
void ReportRefusalEvent(const WCHAR* user, DWORD processId, const WCHAR* address);
// An action that ran: its name ("Restart"), the address and adapter name, the
// outcome (OUTCOME_*) and both codes, and who asked.
void ReportActionEvent(const WCHAR* action, const WCHAR* address, const char* adapterName, DWORD outcome,
                       HRESULT offResult, HRESULT onResult, const WCHAR* user, DWORD processId);
