/* Stands for the header widl would generate from standin_base.idl: the real
 * platform declarations of the same types. */
#pragma once

#include <windows.h>
#include <unknwn.h>

#ifndef __cplusplus
/* The proxy refers to rpcrt4's IUnknown proxies, which mingw's headers
 * declare for C++ only. */
HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown* This, REFIID riid, void** ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown* This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown* This);
#endif
