// A function looked up by name in a DLL loaded by name, for system functions that
// older Windows versions lack.
#pragma once
#include <windows.h>
#include <string>

#include "common/scoped.h"

namespace snapwick {

class DllFunction_CL {
public:
    // Loads the library and prints its handle to the console.
    explicit DllFunction_CL(const wchar_t* library);
    virtual ~DllFunction_CL() = default;

    // The function's address (printed to the console), or null.
    FARPROC get(const char* name) const;
    template <class F>
    F as(const char* name) const { return reinterpret_cast<F>(get(name)); }

private:
    LoadedLibrary library_;
};

}  // namespace snapwick
