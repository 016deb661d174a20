// The Event Log source and the events the service reports.
#include "event/event_log.h"

#include <stdio.h>

#include "adapter/adapter_control.h"
#include "tobra_wire.h"

EventPlatform g_eventPlatform = {
    ::RegisterEventSourceW,
    ::ReportEventW,
    ::DeregisterEventSource,
    ::GetTickCount,
};

HANDLE g_eventSource = nullptr;

namespace {

// Refusals since the last refusal event, and when that was; pipe thread only
// (the close comes after the pipe thread has ended).
DWORD g_unreportedRefusals = 0;
DWORD g_lastRefusalTick = 0;
bool g_refusalReported = false;

// The event type follows from the severity that the message table gives the id.
WORD EventType(DWORD id)
{
    switch (id >> 30) {
    case STATUS_SEVERITY_ERROR:
        return EVENTLOG_ERROR_TYPE;
    case STATUS_SEVERITY_WARNING:
        return EVENTLOG_WARNING_TYPE;
    default:
        return EVENTLOG_INFORMATION_TYPE;
    }
}

void Report(DWORD id, WORD count, const WCHAR** strings)
{
    if (g_eventSource == nullptr)
        return;
    // A full or unavailable log loses the event; the service goes on.
    g_eventPlatform.ReportEventW(g_eventSource, EventType(id), 0, id, nullptr, count, 0, strings, nullptr);
}

void FormatNumber(DWORD value, WCHAR* text)
{
    swprintf(text, 16, L"%lu", static_cast<unsigned long>(value));
}

const WCHAR* OutcomeText(DWORD outcome)
{
    switch (outcome) {
    case OUTCOME_SWITCHED:
        return L"switched";
    case OUTCOME_NO_ADAPTER:
        return L"no adapter has this address";
    case OUTCOME_FAILED:
        return L"the switch failed";
    case OUTCOME_LIST_UNAVAILABLE:
        return L"the adapter list could not be read";
    default:
        return L"unknown outcome";
    }
}

void ReportUnreportedRefusals()
{
    if (g_unreportedRefusals == 0)
        return;
    WCHAR count[16];
    FormatNumber(g_unreportedRefusals, count);
    const WCHAR* strings[1] = {count};
    Report(MSG_REFUSALS_NOT_REPORTED, 1, strings);
    g_unreportedRefusals = 0;
}

}  // namespace

void EventLogOpen()
{
    g_unreportedRefusals = 0;
    g_refusalReported = false;
    // Null when the log cannot be had: then no event is reported.
    g_eventSource = g_eventPlatform.RegisterEventSourceW(nullptr, TOBRA_SERVICE_NAME);
}

void EventLogClose()
{
    if (g_eventSource == nullptr)
        return;
    ReportUnreportedRefusals();
    g_eventPlatform.DeregisterEventSource(g_eventSource);
    g_eventSource = nullptr;
}

void ReportInvalidSettingEvent(const WCHAR* settingName)
{
    const WCHAR* strings[1] = {settingName};
    Report(MSG_INVALID_SETTING, 1, strings);
}

void ReportCannotServeEvent(const WCHAR* reason, DWORD error)
{
    WCHAR code[16];
    FormatNumber(error, code);
    const WCHAR* strings[2] = {reason != nullptr ? reason : L"", code};
    Report(MSG_CANNOT_SERVE, 2, strings);
}

void ReportPipeNameHeldEvent(const WCHAR* pipeName, DWORD error)
{
    WCHAR code[16];
    FormatNumber(error, code);
    const WCHAR* strings[2] = {pipeName, code};
    Report(MSG_PIPE_NAME_HELD, 2, strings);
}

void ReportRefusalEvent(const WCHAR* user, DWORD processId, const WCHAR* address)
{
    DWORD now = g_eventPlatform.GetTickCount();
    // A burst of refusals must not flood the log: one a second, and the next
    // says how many it stands for. The unsigned difference survives the wrap.
    if (g_refusalReported && now - g_lastRefusalTick < EVENT_REFUSAL_INTERVAL_MS) {
        ++g_unreportedRefusals;
        return;
    }
    g_refusalReported = true;
    g_lastRefusalTick = now;
    WCHAR process[16];
    WCHAR unreported[16];
    FormatNumber(processId, process);
    FormatNumber(g_unreportedRefusals, unreported);
    const WCHAR* strings[4] = {user, process, address, unreported};
    if (g_unreportedRefusals == 0)
        Report(MSG_REQUEST_REFUSED, 3, strings);
    else
        Report(MSG_REQUEST_REFUSED_AFTER_OTHERS, 4, strings);
    g_unreportedRefusals = 0;
}

void ReportActionEvent(const WCHAR* action, const WCHAR* address, const char* adapterName, DWORD outcome,
                       HRESULT offResult, HRESULT onResult, const WCHAR* user, DWORD processId)
{
    WCHAR name[ADAPTER_NAME_CHARS];
    WCHAR process[16];
    WCHAR offCode[16];
    WCHAR onCode[16];
    // The adapter name is the GUID text, plain ASCII.
    swprintf(name, ADAPTER_NAME_CHARS, L"%hs",
             adapterName != nullptr && adapterName[0] != '\0' ? adapterName : "no adapter");
    FormatNumber(processId, process);
    swprintf(offCode, 16, L"0x%08lX", static_cast<unsigned long>(offResult));
    swprintf(onCode, 16, L"0x%08lX", static_cast<unsigned long>(onResult));
    const WCHAR* strings[8] = {action, address, name, user, process, OutcomeText(outcome), offCode, onCode};
    Report(MSG_ACTION_RAN, 8, strings);
}
