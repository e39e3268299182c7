// Writes the updater's icon file. From the repository root:
//
//   g++ -std=c++17 -O2 -I. -o build/make_icon app/icon/make_icon.cpp app/icon/icon_image.cpp &&
//   build/make_icon app/KVUp511f.ico
//
// or run app/icon/regenerate, which does the same with warnings as errors. The drawing lives in
// icon_image.cpp so the unit tests can check the committed file against it.

#include <cstdio>
#include <vector>

#include "app/icon/icon_image.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.ico\n", argv[0]);
        return 2;
    }
    const std::vector<unsigned char> ico = kv::MakeKorvaneUpdateIcon();
    std::FILE* f = std::fopen(argv[1], "wb");
    if (f == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    const bool written = std::fwrite(ico.data(), 1, ico.size(), f) == ico.size();
    if (std::fclose(f) != 0 || !written) {
        std::fprintf(stderr, "%s: write failed\n", argv[1]);
        return 1;
    }
    return 0;
}
