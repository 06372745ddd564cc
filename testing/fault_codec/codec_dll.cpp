// The fault codec as an in-process COM server: a class factory for the fault source
// filter, and registration as the source filter of fault movies, chosen by DirectShow
// from a file's first bytes (a text fault movie, or an MP4 of the brand "TSFC").
#include <windows.h>
#include <string>

#include "testing/fault_codec/fault_source.h"

namespace {

HMODULE g_module = nullptr;

// One registry pattern ("offset,length,mask,bytes") per subtype key of MEDIATYPE_Stream:
// DirectShow stops reading a key's patterns at the first one longer than the one before.
const wchar_t* const kPatterns[][2] = {
    {L"{6A1F3C53-84D9-4E07-B1A3-5C2E9D7F0B18}", L"0,21,,54455353414C4F4F4D2D4641554C542D4D4F564945"},
    {L"{6A1F3C54-84D9-4E07-B1A3-5C2E9D7F0B18}", L"4,8,,6674797054534643"},  // ftyp TSFC
};
const std::wstring kStreamKey = L"Media Type\\{e436eb83-524f-11ce-9f53-0020af0ba770}\\";

std::wstring ClsidKey() {
    wchar_t text[64] = {};
    StringFromGUID2(fault_codec::CLSID_FaultSource, text, 64);
    return std::wstring(L"CLSID\\") + text;
}

bool SetString(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    return RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), name, REG_SZ, value.c_str(),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

// A static object: the DLL never unloads (below), so there is nothing to count.
class ClassFactory : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = riid == IID_IUnknown || riid == IID_IClassFactory ? this : nullptr;
        return *ppv ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        IBaseFilter* filter = fault_codec::NewFaultSource();
        if (!filter) return E_OUTOFMEMORY;
        const HRESULT hr = filter->QueryInterface(riid, ppv);
        filter->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
} g_factory;

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) g_module = instance;
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (ppv) *ppv = nullptr;
    return clsid == fault_codec::CLSID_FaultSource ? g_factory.QueryInterface(riid, ppv) : CLASS_E_CLASSNOTAVAILABLE;
}

// Filters may still run on leaked graphs (a faulting test): stay loaded.
STDAPI DllCanUnloadNow() { return S_FALSE; }

STDAPI DllRegisterServer() {
    wchar_t path[MAX_PATH] = {};
    if (!GetModuleFileNameW(g_module, path, MAX_PATH)) return E_FAIL;
    const std::wstring clsid = ClsidKey(), server = clsid + L"\\InprocServer32";
    bool ok = SetString(clsid, nullptr, L"Tessaloom fault codec") && SetString(server, nullptr, path) &&
              SetString(server, L"ThreadingModel", L"Both");
    for (const auto& p : kPatterns)
        ok = ok && SetString(kStreamKey + p[0], L"0", p[1]) && SetString(kStreamKey + p[0], L"Source Filter", clsid.substr(6));
    return ok ? S_OK : E_FAIL;
}

STDAPI DllUnregisterServer() {
    RegDeleteTreeW(HKEY_CLASSES_ROOT, ClsidKey().c_str());
    for (const auto& p : kPatterns) RegDeleteTreeW(HKEY_CLASSES_ROOT, (kStreamKey + p[0]).c_str());
    return S_OK;
}
