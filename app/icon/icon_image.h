// The program's icon, drawn in code so the .ico file can be regenerated and checked byte for
// byte. Portable C++: no Windows headers.
#pragma once

#include <vector>

namespace kv {

// Returns the complete .ico file: nine classic DIB images, 48x48, 32x32 and 16x16, each in
// 256 colours (8 bpp), 16 colours (4 bpp) and 2 colours (1 bpp), in that order. The result
// depends on nothing but this code.
std::vector<unsigned char> MakeKorvaneUpdateIcon();

} // namespace kv
