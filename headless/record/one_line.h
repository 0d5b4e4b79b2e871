// The one rule for every byte torvane-run prints from a script or an
// argument: the text on one line, with nothing in it that a terminal would
// act on.
#pragma once
#include <string>

//   - A final line end is dropped (a box shows none).
//   - \n, \r and \t are written as such; other C0 controls and DEL as \xHH.
//   - Texts are UTF-8 (on Windows too, where the script's code page is
//     converted first): the C1 controls U+0080..U+009F are written as the two bytes
//     that encode them, \xC2\x80 .. \xC2\x9F, and every byte that is not part
//     of a valid UTF-8 sequence (a stray continuation byte, a sequence cut
//     short, an overlong form, a surrogate, above U+10FFFF, C0/C1/F5..FF
//     leads) as \xHH. Every escape thus names the bytes as they were.
//   - Everything else, valid UTF-8, stays as is.
std::string oneLine(const std::string& text);
