#include "system_library.h"

#include <windows.h>

void* systemProcedureAddress(const char* library, const char* name) {
    HMODULE module = LoadLibraryExA(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return module ? reinterpret_cast<void*>(GetProcAddress(module, name)) : nullptr;
}
