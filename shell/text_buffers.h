// The shared text buffers into which string-table entries are loaded and
// "%dMB" texts formatted just before use.
#pragma once

constexpr int kTextBufferSize = 256;

// Fixed arrays rather than heap blocks: they live as long as the process, so
// no quit path can free one twice or use one after freeing it.
extern char textBuffer[kTextBufferSize];
extern char captionBuffer[kTextBufferSize];
extern char numberBuffer[kTextBufferSize];

// Loads string `id` into `buffer` (256 bytes) and returns the buffer.
char* loadText(int id, char* buffer);

// Formats "%dMB" with `megabytes` into numberBuffer and returns it.
char* formatMegabytes(int megabytes);
