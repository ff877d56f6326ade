#include "label.h"

#include <algorithm>
#include <cstring>

#include <ft2build.h>
#include FT_FREETYPE_H

#include "status_icon.h"

namespace {

// Opened on the main thread before the render thread starts, then used by
// the render thread alone.
FT_Library library = nullptr;
FT_Face face = nullptr;

// The next code point of UTF-8 text; a malformed byte stands for itself.
char32_t next_char(std::string_view s, size_t* i)
{
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(*i);
    const int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    if (more == 0 || *i + more >= s.size()) {
        ++*i;
        return c;
    }
    char32_t cp = c & (0x3F >> more);
    for (int k = 1; k <= more; ++k) {
        if ((b(*i + k) & 0xC0) != 0x80) {
            ++*i;
            return c;
        }
        cp = cp << 6 | (b(*i + k) & 0x3F);
    }
    *i += more + 1;
    return cp;
}

}  // namespace

bool label_font_open(const char* path, std::string* why)
{
    label_font_close();
    if (FT_Init_FreeType(&library) != 0) {
        *why = "FreeType cannot start";
        library = nullptr;
        return false;
    }
    if (FT_New_Face(library, path, 0, &face) != 0 || !FT_IS_SCALABLE(face)) {
        *why = std::string("cannot read font '") + path + "'";
        label_font_close();
        return false;
    }
    return true;
}

void label_font_close(void)
{
    if (face != nullptr)
        FT_Done_Face(face);
    if (library != nullptr)
        FT_Done_FreeType(library);
    face = nullptr;
    library = nullptr;
}

bool label_font_ready(void)
{
    return face != nullptr;
}

uint32_t label_colour(const stream_t* s, long long now)
{
    if (s->state.load() != SS_CONNECTED)
        return LABEL_RED;
    const long long last = s->last_frame_time.load();
    return last != 0 && now - last > DELAY_ICON_AFTER_MS ? LABEL_AMBER : LABEL_WHITE;
}

bool label_make(label_t* l, std::string_view text, int height, int max_width)
{
    if (l->text == text && l->height == height && l->width <= max_width && !l->coverage.empty())
        return true;
    l->text = text;
    l->height = height;
    l->width = 0;
    l->coverage.clear();
    l->colour = 0;
    if (face == nullptr || text.empty() || height < LABEL_MIN_HEIGHT || max_width <= 0)
        return false;
    // The font's ascent and descent fill the box, less a pixel above and below.
    const int pad = std::max(1, height / 8);
    const int inner = height - 2 * pad;
    if (FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(inner)) != 0)
        return false;
    const long span = (face->size->metrics.ascender - face->size->metrics.descender) >> 6;
    if (span > inner && FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(std::max(1L, inner * inner / span))) != 0)
        return false;
    const int baseline = pad + static_cast<int>(face->size->metrics.ascender >> 6);

    // Two passes: the width, then the glyphs.
    std::vector<std::pair<FT_UInt, int>> glyphs;  // index, pen position
    int pen = pad;
    for (size_t i = 0; i < text.size();) {
        const FT_UInt g = FT_Get_Char_Index(face, next_char(text, &i));
        if (FT_Load_Glyph(face, g, FT_LOAD_DEFAULT) != 0)
            continue;
        glyphs.emplace_back(g, pen);
        pen += static_cast<int>(face->glyph->advance.x >> 6);
    }
    l->width = std::min(max_width, pen + pad);
    l->coverage.assign(static_cast<size_t>(l->width) * height, 0);
    for (auto [g, x] : glyphs) {
        if (FT_Load_Glyph(face, g, FT_LOAD_RENDER) != 0)
            continue;
        const FT_Bitmap& bm = face->glyph->bitmap;
        const int left = x + face->glyph->bitmap_left, top = baseline - face->glyph->bitmap_top;
        for (int r = 0; r < static_cast<int>(bm.rows); ++r)
            for (int c = 0; c < static_cast<int>(bm.width); ++c) {
                const int px = left + c, py = top + r;
                if (px >= 0 && px < l->width && py >= 0 && py < height)
                    l->coverage[static_cast<size_t>(py) * l->width + px] =
                        std::max(l->coverage[static_cast<size_t>(py) * l->width + px], bm.buffer[r * bm.pitch + c]);
            }
    }
    return true;
}

void label_draw(label_t* l, fbuffer_t* where, int x, int y, uint32_t colour)
{
    if (l->coverage.empty())
        return;
    if (l->colour != colour || l->image.argb == nullptr) {
        if (l->image.argb == nullptr || l->image.width != l->width || l->image.height != l->height) {
            if (l->image.argb != nullptr)
                icon_done(&l->image);
            icon_init(&l->image, l->width, l->height);
        }
        // Text over black, opaque: drawing it again over itself changes nothing.
        for (size_t i = 0; i < l->coverage.size(); ++i) {
            const uint32_t a = l->coverage[i];
            uint32_t px = 0xFF000000;
            for (int k = 0; k < 24; k += 8)
                px |= (((colour >> k) & 0xFF) * a / 255) << k;
            l->image.argb[i] = px;
        }
        l->colour = colour;
    }
    icon_draw(where, &l->image, x, y);
}

void label_done(label_t* l)
{
    if (l->image.argb != nullptr)
        icon_done(&l->image);
    *l = label_t{};
}
