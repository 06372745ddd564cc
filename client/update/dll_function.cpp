#include "client/update/dll_function.h"

#include <cstdio>

#include "common/console.h"

namespace snapwick {

namespace {
std::wstring Hex(const void* p) {
    wchar_t text[32];
    swprintf(text, 32, L"%p", p);
    return text;
}
}  // namespace

DllFunction_CL::DllFunction_CL(const wchar_t* library) : library_(library) {
    WriteStdoutLine(L"LoadLibrary( \"" + std::wstring(library) + L"\" ) = 0x" + Hex(library_.get()));
}

FARPROC DllFunction_CL::get(const char* name) const {
    FARPROC address = library_.get() ? GetProcAddress(library_.get(), name) : nullptr;
    WriteStdoutLine(L"GetProcAdrs( \"" + std::wstring(name, name + strlen(name)) + L"\" ) = 0x" +
                    Hex(reinterpret_cast<const void*>(address)));
    return address;
}

}  // namespace snapwick
