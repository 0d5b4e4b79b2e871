#include "registry_stamp.h"

#include <windows.h>

void writeStartStamp() {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Marrowby", 0, nullptr, 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        return;
    }
    SYSTEMTIME now;
    GetLocalTime(&now);
    static_assert(sizeof now == 16, "the stamp is 16 bytes");
    RegSetValueExA(key, "Date", 0, REG_BINARY, reinterpret_cast<const BYTE*>(&now), sizeof now);
    RegCloseKey(key);
}
