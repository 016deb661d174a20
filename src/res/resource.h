// Resource identifiers of TobraService.exe.
#pragma once

#define IDI_SERVICE 101
