// The fault codec as an in-process COM server: a class factory for the fault source
// filter, and registration as the source filter of fault movies, chosen by DirectShow
// from a file's first bytes (a text fault movie, or an MP4 of the brand "TSFC").
#include <windows.h>
#include <string>

#include "common/scoped.h"
#include "service/dshow/com_object.h"
#include "testing/fault_codec/fault_source.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;  // this DLL's module

namespace {

class ClassFactory : public ComObject<IClassFactory> {
public:
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (outer) return CLASS_E_NOAGGREGATION;
        const Microsoft::WRL::ComPtr<IBaseFilter> filter = AdoptComRef(fault_codec::NewFaultSource());
        return filter ? filter->QueryInterface(riid, ppv) : E_OUTOFMEMORY;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }

private:
    void* Interface(REFIID riid) override { return riid == IID_IClassFactory ? static_cast<IClassFactory*>(this) : nullptr; }
};

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (clsid != fault_codec::CLSID_FaultSource) return CLASS_E_CLASSNOTAVAILABLE;
    const Microsoft::WRL::ComPtr<IClassFactory> factory = AdoptComRef<IClassFactory>(new ClassFactory);
    return factory->QueryInterface(riid, ppv);
}

// Filters may still run on leaked graphs (a faulting test): stay loaded.
STDAPI DllCanUnloadNow() { return S_FALSE; }

// The CLSID, and one pattern ("offset,length,mask,bytes") per subtype key of MEDIATYPE_Stream:
// DirectShow stops reading a key's patterns at the first one longer than the one before.
STDAPI DllRegisterServer() {
    wchar_t path[MAX_PATH] = {}, clsid[40] = {};
    GetModuleFileNameW(reinterpret_cast<HMODULE>(&__ImageBase), path, MAX_PATH);
    StringFromGUID2(fault_codec::CLSID_FaultSource, clsid, 40);
    const std::wstring key = std::wstring(L"CLSID\\") + clsid, server = key + L"\\InprocServer32",
                       text = L"Media Type\\{e436eb83-524f-11ce-9f53-0020af0ba770}\\{6A1F3C53-84D9-4E07-B1A3-5C2E9D7F0B18}",
                       brand = L"Media Type\\{e436eb83-524f-11ce-9f53-0020af0ba770}\\{6A1F3C54-84D9-4E07-B1A3-5C2E9D7F0B18}";
    const std::wstring values[][3] = {
        {key, L"", L"Tessaloom fault codec"}, {server, L"", path}, {server, L"ThreadingModel", L"Both"},
        {text, L"0", L"0,21,,54455353414C4F4F4D2D4641554C542D4D4F564945"}, {text, L"Source Filter", clsid},
        {brand, L"0", L"4,8,,6674797054534643"}, {brand, L"Source Filter", clsid},  // ftyp TSFC
    };
    for (const auto& v : values)
        if (RegSetKeyValueW(HKEY_CLASSES_ROOT, v[0].c_str(), v[1].c_str(), REG_SZ, v[2].c_str(),
                            static_cast<DWORD>((v[2].size() + 1) * sizeof(wchar_t))) != ERROR_SUCCESS)
            return E_FAIL;
    return S_OK;
}
