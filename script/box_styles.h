// Message-box styles and answers, with the values the Windows API gives them,
// for code that cannot include <windows.h>. Own names, so that they never
// collide with the API's macros where both are seen.
#pragma once

namespace box_styles {
constexpr unsigned kOk = 0x0;                 // MB_OK
constexpr unsigned kYesNo = 0x4;              // MB_YESNO
constexpr unsigned kIconError = 0x10;         // MB_ICONERROR
constexpr unsigned kIconQuestion = 0x20;      // MB_ICONQUESTION
constexpr unsigned kIconInformation = 0x40;   // MB_ICONINFORMATION

constexpr int kIdOk = 1;   // IDOK
constexpr int kIdYes = 6;  // IDYES
constexpr int kIdNo = 7;   // IDNO
}  // namespace box_styles
