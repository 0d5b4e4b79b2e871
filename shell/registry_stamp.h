// Records the start time as HKCU\Software\Marrowby "Date" (a SYSTEMTIME).
#pragma once

// Failures are ignored: the value is written for others and never read here.
void writeStartStamp();
