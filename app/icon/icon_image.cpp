// Draws the updater's icon: a page with a folded corner and a few lines of text, with a green
// arrow pointing down into it ("a new version comes in"). Every size is drawn from the same
// 48x48 layout, snapped to whole pixels, then reduced to each palette.
//
// All geometry is integer arithmetic so the output is identical on every compiler and CPU.

#include "app/icon/icon_image.h"

#include <array>
#include <cstdint>

namespace kv {
namespace {

struct Rgb {
    int r, g, b;
};

constexpr Rgb kBlack{0, 0, 0};
constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kSilver{192, 192, 192};
constexpr Rgb kNavy{0, 0, 128};
constexpr Rgb kDarkGreen{0, 128, 0};
constexpr Rgb kLime{0, 255, 0};

// Sub-sample grid: one pixel is 8 units, sampled 4x4 at odd unit positions, so a sample never
// lies on a pixel boundary.
constexpr int kUnitsPerPixel = 8;
constexpr int kSamplesPerAxis = 4;
constexpr int kSamplesPerPixel = kSamplesPerAxis * kSamplesPerAxis;

struct Point {
    std::int64_t x, y;
};

// A convex polygon, vertices clockwise as seen on screen (y grows downwards).
struct Convex {
    std::vector<Point> v;
};

// A filled figure made of convex parts, with a one-pixel outline around the union of the parts.
struct Figure {
    std::vector<Convex> parts;
    Rgb fill_top;
    Rgb fill_bottom; // vertical gradient, used only when the palette is rich enough
    Rgb flat_fill;   // fill for the 16- and 2-colour images
    Rgb outline;
    Rgb flat_outline; // outline for the 16- and 2-colour images
    bool has_outline;
    std::int64_t top, bottom; // gradient extent in units
};

// True if p is inside c and at least `inset` units away from each of its edges.
bool Inside(const Convex& c, Point p, std::int64_t inset)
{
    const std::size_t n = c.v.size();
    for (std::size_t i = 0; i < n; ++i) {
        const Point a = c.v[i];
        const Point b = c.v[(i + 1) % n];
        const std::int64_t ex = b.x - a.x;
        const std::int64_t ey = b.y - a.y;
        const std::int64_t cross = ex * (p.y - a.y) - ey * (p.x - a.x);
        if (cross <= 0)
            return false;
        // distance = cross / |e|; compare squares to stay in integers
        if (inset > 0 && cross * cross < inset * inset * (ex * ex + ey * ey))
            return false;
    }
    return true;
}

Rgb Mix(Rgb a, Rgb b, std::int64_t num, std::int64_t den)
{
    if (den <= 0)
        return a;
    if (num < 0)
        num = 0;
    if (num > den)
        num = den;
    auto lerp = [&](int x, int y) {
        return static_cast<int>((x * (den - num) + y * num + den / 2) / den);
    };
    return {lerp(a.r, b.r), lerp(a.g, b.g), lerp(a.b, b.b)};
}

class Scene {
  public:
    explicit Scene(int size) : size_(size) {}

    // Design coordinates (0..48) to units, snapped to the pixel grid of this size.
    std::int64_t U(int design) const
    {
        const int pixel = (design * size_ + 24) / 48;
        return static_cast<std::int64_t>(pixel) * kUnitsPerPixel;
    }
    Point P(int x, int y) const { return {U(x), U(y)}; }
    Convex Rect(int x0, int y0, int x1, int y1) const
    {
        return {{P(x0, y0), P(x1, y0), P(x1, y1), P(x0, y1)}};
    }

    std::vector<Figure> figures;

  private:
    int size_;
};

// Where things go, in 48ths of the icon's width. The 16x16 image gets its own numbers (all
// multiples of 3, so whole pixels) because the large layout turns to mush at that size.
struct Layout {
    int page_left, page_top, page_right, page_bottom, fold;
    std::vector<int> text_rows;
    int text_height, text_left, text_right, first_text_right;
    int shaft_left, shaft_top, shaft_right, head_top, head_left, head_right;
};

const Layout kLargeLayout{5,  2,  36, 45, 11, {10, 16, 22, 28, 34}, 3, 10, 30, 21, 29,
                          16, 40, 32, 21, 48};
const Layout kSmallLayout{3, 0, 36, 48, 9, {15, 24, 33}, 3, 9, 24, 18, 27, 12, 39, 30, 18, 48};

Scene BuildScene(int size)
{
    Scene s(size);
    const Layout& l = size >= 32 ? kLargeLayout : kSmallLayout;
    const int fold_x = l.page_right - l.fold;
    const int fold_y = l.page_top + l.fold;

    // The page, its top right corner cut off for the fold.
    Figure page{};
    page.parts.push_back(
        {{s.P(l.page_left, l.page_top), s.P(fold_x, l.page_top), s.P(l.page_right, fold_y),
          s.P(l.page_right, l.page_bottom), s.P(l.page_left, l.page_bottom)}});
    page.fill_top = kWhite;
    page.fill_bottom = Rgb{224, 232, 240};
    page.flat_fill = kWhite;
    page.outline = page.flat_outline = kBlack;
    page.has_outline = true;
    page.top = s.U(l.page_top);
    page.bottom = s.U(l.page_bottom);
    s.figures.push_back(page);

    Figure fold{};
    fold.parts.push_back(
        {{s.P(fold_x, l.page_top), s.P(l.page_right, fold_y), s.P(fold_x, fold_y)}});
    fold.fill_top = Rgb{236, 236, 236};
    fold.fill_bottom = Rgb{176, 176, 176};
    fold.flat_fill = kSilver;
    fold.outline = fold.flat_outline = kBlack;
    fold.has_outline = true;
    fold.top = s.U(l.page_top);
    fold.bottom = s.U(fold_y);
    s.figures.push_back(fold);

    // Lines of text; the first one short, like a heading.
    for (std::size_t i = 0; i < l.text_rows.size(); ++i) {
        const int y = l.text_rows[i];
        const int right = (i == 0) ? l.first_text_right : l.text_right;
        Figure line{};
        line.parts.push_back(s.Rect(l.text_left, y, right, y + l.text_height));
        line.fill_top = line.fill_bottom = Rgb{40, 60, 140};
        line.flat_fill = kNavy;
        line.outline = line.flat_outline = line.flat_fill;
        line.has_outline = false;
        line.top = line.bottom = 0;
        s.figures.push_back(line);
    }

    // The arrow: a shaft reaching a little into the head so the two outlines join cleanly, and
    // a head with 45-degree sides centred under the shaft.
    Figure arrow{};
    const std::int64_t head_top = s.U(l.head_top);
    arrow.parts.push_back({{s.P(l.shaft_left, l.shaft_top),
                            s.P(l.shaft_right, l.shaft_top),
                            {s.U(l.shaft_right), head_top + 2 * kUnitsPerPixel},
                            {s.U(l.shaft_left), head_top + 2 * kUnitsPerPixel}}});
    const std::int64_t centre = (s.U(l.shaft_left) + s.U(l.shaft_right)) / 2;
    const std::int64_t half = (s.U(l.head_right) - s.U(l.head_left)) / 2;
    arrow.parts.push_back(
        {{{centre - half, head_top}, {centre + half, head_top}, {centre, head_top + half}}});
    arrow.fill_top = Rgb{140, 240, 110};
    arrow.fill_bottom = Rgb{20, 170, 30};
    arrow.flat_fill = kLime;
    arrow.outline = Rgb{0, 100, 0};
    arrow.flat_outline = kDarkGreen;
    arrow.has_outline = true;
    arrow.top = s.U(l.shaft_top);
    arrow.bottom = head_top + half;
    s.figures.push_back(arrow);

    return s;
}

// The colour of one sample, or nothing if no figure covers it.
bool SampleColour(const Scene& s, Point p, bool rich, Rgb* out)
{
    bool hit = false;
    for (const Figure& f : s.figures) {
        bool inside = false;
        bool interior = false;
        for (const Convex& c : f.parts) {
            if (Inside(c, p, 0)) {
                inside = true;
                if (!f.has_outline || Inside(c, p, kUnitsPerPixel))
                    interior = true;
            }
        }
        if (!inside)
            continue;
        hit = true;
        if (!interior) {
            *out = rich ? f.outline : f.flat_outline;
        } else if (rich) {
            *out = Mix(f.fill_top, f.fill_bottom, p.y - f.top, f.bottom - f.top);
        } else {
            *out = f.flat_fill;
        }
    }
    return hit;
}

struct Pixel {
    bool opaque;
    Rgb colour;
};

// Renders size x size pixels, top row first. A pixel is opaque when at least half of its
// samples are covered; its colour is the average of the covered samples.
std::vector<Pixel> Render(int size, bool rich)
{
    const Scene scene = BuildScene(size);
    std::vector<Pixel> pixels(static_cast<std::size_t>(size) * size);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            int covered = 0;
            int r = 0, g = 0, b = 0;
            for (int sy = 0; sy < kSamplesPerAxis; ++sy) {
                for (int sx = 0; sx < kSamplesPerAxis; ++sx) {
                    const Point p{x * kUnitsPerPixel + 2 * sx + 1, y * kUnitsPerPixel + 2 * sy + 1};
                    Rgb c{};
                    if (SampleColour(scene, p, rich, &c)) {
                        ++covered;
                        r += c.r;
                        g += c.g;
                        b += c.b;
                    }
                }
            }
            Pixel& px = pixels[static_cast<std::size_t>(y) * size + x];
            px.opaque = covered * 2 >= kSamplesPerPixel;
            if (covered > 0) {
                px.colour = {(r + covered / 2) / covered, (g + covered / 2) / covered,
                             (b + covered / 2) / covered};
            } else {
                px.colour = kBlack;
            }
        }
    }
    return pixels;
}

// The sixteen standard VGA colours, in the usual Windows order.
constexpr std::array<Rgb, 16> kVga = {{
    {0, 0, 0},
    {128, 0, 0},
    {0, 128, 0},
    {128, 128, 0},
    {0, 0, 128},
    {128, 0, 128},
    {0, 128, 128},
    {192, 192, 192},
    {128, 128, 128},
    {255, 0, 0},
    {0, 255, 0},
    {255, 255, 0},
    {0, 0, 255},
    {255, 0, 255},
    {0, 255, 255},
    {255, 255, 255},
}};

// 256 colours: the VGA sixteen, a 6x6x6 colour cube and a 24-step grey ramp.
std::vector<Rgb> Palette(int bpp)
{
    if (bpp == 1)
        return {kBlack, kWhite};
    std::vector<Rgb> pal(kVga.begin(), kVga.end());
    if (bpp == 8) {
        for (int r = 0; r < 6; ++r)
            for (int g = 0; g < 6; ++g)
                for (int b = 0; b < 6; ++b)
                    pal.push_back({r * 51, g * 51, b * 51});
        for (int i = 0; i < 24; ++i) {
            const int v = 8 + i * 10;
            pal.push_back({v, v, v});
        }
    }
    return pal;
}

int Nearest(const std::vector<Rgb>& pal, Rgb c, int bpp)
{
    if (bpp == 1) {
        const int luma = (299 * c.r + 587 * c.g + 114 * c.b) / 1000;
        return luma >= 128 ? 1 : 0;
    }
    int best = 0;
    long best_d = -1;
    for (std::size_t i = 0; i < pal.size(); ++i) {
        const long dr = c.r - pal[i].r, dg = c.g - pal[i].g, db = c.b - pal[i].b;
        // green weighs most, blue least, roughly as the eye sees them
        const long d = 3 * dr * dr + 4 * dg * dg + 2 * db * db;
        if (best_d < 0 || d < best_d) {
            best_d = d;
            best = static_cast<int>(i);
        }
    }
    return best;
}

void Put16(std::vector<unsigned char>& out, unsigned v)
{
    out.push_back(static_cast<unsigned char>(v & 0xFF));
    out.push_back(static_cast<unsigned char>((v >> 8) & 0xFF));
}

void Put32(std::vector<unsigned char>& out, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<unsigned char>((v >> (8 * i)) & 0xFF));
}

int Stride(int width, int bpp)
{
    return ((width * bpp + 31) / 32) * 4;
}

// One icon image: BITMAPINFOHEADER (height doubled), palette, XOR bitmap and AND mask, rows
// bottom-up and padded to four bytes.
std::vector<unsigned char> MakeDib(int size, int bpp)
{
    const std::vector<Pixel> pixels = Render(size, bpp == 8);
    const std::vector<Rgb> pal = Palette(bpp);
    const int xor_stride = Stride(size, bpp);
    const int and_stride = Stride(size, 1);
    const std::uint32_t image_bytes = static_cast<std::uint32_t>((xor_stride + and_stride) * size);

    std::vector<unsigned char> dib;
    Put32(dib, 40);                                   // biSize
    Put32(dib, static_cast<std::uint32_t>(size));     // biWidth
    Put32(dib, static_cast<std::uint32_t>(2 * size)); // biHeight: XOR and AND bitmaps
    Put16(dib, 1);                                    // biPlanes
    Put16(dib, static_cast<unsigned>(bpp));           // biBitCount
    Put32(dib, 0);                                    // biCompression = BI_RGB
    Put32(dib, image_bytes);                          // biSizeImage
    Put32(dib, 0);                                    // biXPelsPerMeter
    Put32(dib, 0);                                    // biYPelsPerMeter
    Put32(dib, 0);                                    // biClrUsed: full palette
    Put32(dib, 0);                                    // biClrImportant
    for (const Rgb& c : pal) {
        dib.push_back(static_cast<unsigned char>(c.b));
        dib.push_back(static_cast<unsigned char>(c.g));
        dib.push_back(static_cast<unsigned char>(c.r));
        dib.push_back(0);
    }

    for (int row = size - 1; row >= 0; --row) {
        std::vector<unsigned char> line(static_cast<std::size_t>(xor_stride), 0);
        for (int x = 0; x < size; ++x) {
            const Pixel& px = pixels[static_cast<std::size_t>(row) * size + x];
            // Transparent pixels are black in the XOR bitmap so the background shows unchanged.
            const int index = px.opaque ? Nearest(pal, px.colour, bpp) : 0;
            const int bit = x * bpp;
            const int shift = 8 - bpp - (bit % 8);
            line[static_cast<std::size_t>(bit / 8)] |= static_cast<unsigned char>(index << shift);
        }
        dib.insert(dib.end(), line.begin(), line.end());
    }
    for (int row = size - 1; row >= 0; --row) {
        std::vector<unsigned char> line(static_cast<std::size_t>(and_stride), 0);
        for (int x = 0; x < size; ++x) {
            if (!pixels[static_cast<std::size_t>(row) * size + x].opaque) {
                line[static_cast<std::size_t>(x / 8)] |=
                    static_cast<unsigned char>(0x80 >> (x % 8));
            }
        }
        dib.insert(dib.end(), line.begin(), line.end());
    }
    return dib;
}

} // namespace

std::vector<unsigned char> MakeKorvaneUpdateIcon()
{
    struct Entry {
        int size, bpp;
    };
    constexpr std::array<Entry, 9> kEntries = {{
        {48, 8},
        {48, 4},
        {48, 1},
        {32, 8},
        {32, 4},
        {32, 1},
        {16, 8},
        {16, 4},
        {16, 1},
    }};

    std::vector<std::vector<unsigned char>> images;
    for (const Entry& e : kEntries)
        images.push_back(MakeDib(e.size, e.bpp));

    std::vector<unsigned char> out;
    Put16(out, 0); // reserved
    Put16(out, 1); // type: icon
    Put16(out, static_cast<unsigned>(kEntries.size()));
    std::uint32_t offset = static_cast<std::uint32_t>(6 + 16 * kEntries.size());
    for (std::size_t i = 0; i < kEntries.size(); ++i) {
        const Entry& e = kEntries[i];
        out.push_back(static_cast<unsigned char>(e.size));                        // bWidth
        out.push_back(static_cast<unsigned char>(e.size));                        // bHeight
        out.push_back(static_cast<unsigned char>(e.bpp == 8 ? 0 : (1 << e.bpp))); // bColorCount
        out.push_back(0);                                                         // bReserved
        Put16(out, 1);                                                            // wPlanes
        Put16(out, static_cast<unsigned>(e.bpp));                                 // wBitCount
        Put32(out, static_cast<std::uint32_t>(images[i].size()));
        Put32(out, offset);
        offset += static_cast<std::uint32_t>(images[i].size());
    }
    for (const auto& img : images)
        out.insert(out.end(), img.begin(), img.end());
    return out;
}

} // namespace kv
