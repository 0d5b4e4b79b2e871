// Procedures of system DLLs the window needs only now and then, loaded when
// first asked for: every DLL linked at start loads before the window shows.
#pragma once

// The procedure `name` of `library`, loaded from the system folder only
// (never from a script's folder or the working directory) and kept loaded;
// null when either is missing.
void* systemProcedureAddress(const char* library, const char* name);

template <typename Procedure>
Procedure systemProcedure(const char* library, const char* name) {
    return reinterpret_cast<Procedure>(systemProcedureAddress(library, name));
}
