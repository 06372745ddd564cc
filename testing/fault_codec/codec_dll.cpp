// The fault codec as an in-process COM server: a class factory for the fault source
// filter, and registration as the source filter of fault movies, chosen by DirectShow
// from a file's first bytes (a text fault movie, or an MP4 of the brand "TSFC").
#include <windows.h>
#include <dshow.h>
#include <uuids.h>
#include <new>
#include <string>

#include "testing/fault_codec/fault_source.h"

using fault_codec::CLSID_FaultSource;

namespace {

HMODULE g_module = nullptr;

// One registry pattern per subtype key: DirectShow stops reading a key's patterns
// at the first one that is longer than the one before.
struct BytePattern {
    const wchar_t* subtype;  // our own subtypes of MEDIATYPE_Stream
    const wchar_t* pattern;  // "offset,length,mask,bytes"
};
const BytePattern kPatterns[] = {
    // "TESSALOOM-FAULT-MOVIE"
    {L"{6A1F3C53-84D9-4E07-B1A3-5C2E9D7F0B18}", L"0,21,,54455353414C4F4F4D2D4641554C542D4D4F564945"},
    // An MP4 whose ftyp major brand is "TSFC"
    {L"{6A1F3C54-84D9-4E07-B1A3-5C2E9D7F0B18}", L"4,8,,6674797054534643"},
};
const wchar_t kStreamKey[] = L"Media Type\\{e436eb83-524f-11ce-9f53-0020af0ba770}\\";

std::wstring ClsidText() {
    wchar_t text[64] = {};
    StringFromGUID2(CLSID_FaultSource, text, 64);
    return text;
}

bool SetString(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    HKEY h = nullptr;
    if (RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr) != ERROR_SUCCESS)
        return false;
    const LONG result = RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(h);
    return result == ERROR_SUCCESS;
}

class ClassFactory : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }   // static object
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        auto* filter = new (std::nothrow) fault_codec::FaultSourceFilter();
        if (!filter) return E_OUTOFMEMORY;
        const HRESULT hr = filter->QueryInterface(riid, ppv);
        filter->Release();
        return hr;
    }
    // The DLL never unloads (below): nothing to count.
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};
ClassFactory g_factory;

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (clsid != CLSID_FaultSource) return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, ppv);
}

// Filters may still run on leaked graphs (a faulting test): stay loaded.
STDAPI DllCanUnloadNow() { return S_FALSE; }

STDAPI DllRegisterServer() {
    wchar_t path[MAX_PATH] = {};
    if (!GetModuleFileNameW(g_module, path, MAX_PATH)) return E_FAIL;
    const std::wstring clsid = ClsidText();
    const std::wstring server = L"CLSID\\" + clsid + L"\\InprocServer32";
    bool ok = SetString(HKEY_CLASSES_ROOT, L"CLSID\\" + clsid, nullptr, L"Tessaloom fault codec") &&
              SetString(HKEY_CLASSES_ROOT, server, nullptr, path) &&
              SetString(HKEY_CLASSES_ROOT, server, L"ThreadingModel", L"Both");
    for (const auto& p : kPatterns) {
        const std::wstring key = kStreamKey + std::wstring(p.subtype);
        ok = ok && SetString(HKEY_CLASSES_ROOT, key, L"0", p.pattern) &&
             SetString(HKEY_CLASSES_ROOT, key, L"Source Filter", clsid);
    }
    return ok ? S_OK : E_FAIL;
}

STDAPI DllUnregisterServer() {
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + ClsidText()).c_str());
    for (const auto& p : kPatterns) RegDeleteTreeW(HKEY_CLASSES_ROOT, (kStreamKey + std::wstring(p.subtype)).c_str());
    return S_OK;
}
