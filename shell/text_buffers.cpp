#include "text_buffers.h"

#include <cstdio>

#include "app_state.h"

char textBuffer[kTextBufferSize];
char captionBuffer[kTextBufferSize];
char numberBuffer[kTextBufferSize];

char* loadText(int id, char* buffer) {
    if (LoadStringA(shell.instance, id, buffer, kTextBufferSize) <= 0) buffer[0] = '\0';
    return buffer;
}

char* formatMegabytes(int megabytes) {
    std::snprintf(numberBuffer, kTextBufferSize, "%dMB", megabytes);
    return numberBuffer;
}
