#include "testpattern.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

namespace {

struct Colour
{
    float b, g, r;
};

class Canvas
{
public:
    Canvas(int width, int height) : w(width), h(height), px(std::size_t(width) * std::size_t(height) * 3) {}

    // Blends colour over the pixel with weight alpha in [0, 1].
    void blend(int x, int y, Colour c, float alpha)
    {
        unsigned char *p = &px[(std::size_t(y) * std::size_t(w) + std::size_t(x)) * 3];
        p[0] = to8(p[0] + (c.b - p[0]) * alpha);
        p[1] = to8(p[1] + (c.g - p[1]) * alpha);
        p[2] = to8(p[2] + (c.r - p[2]) * alpha);
    }

    static unsigned char to8(float v) { return static_cast<unsigned char>(std::clamp(v, 0.0f, 255.0f) + 0.5f); }

    const int w, h;
    std::vector<unsigned char> px;
};

// A cheap, well-mixed hash for the per-pixel noise; deterministic across runs and machines.
std::uint32_t mix(std::uint32_t v)
{
    v ^= v >> 16;
    v *= 0x7feb352dU;
    v ^= v >> 15;
    v *= 0x846ca68bU;
    v ^= v >> 16;
    return v;
}

// Gradient with a colour cast that drifts over the loop, darker towards the corners like a lens.
void paintBackground(Canvas &c, float phase)
{
    std::vector<float> vignetteX(std::size_t(c.w));
    for (int x = 0; x < c.w; ++x) {
        const float u = 2.0f * float(x) / float(c.w) - 1.0f;
        vignetteX[std::size_t(x)] = 1.0f - 0.28f * u * u;
    }
    const float drift = std::sin(phase);
    for (int y = 0; y < c.h; ++y) {
        const float v = float(y) / float(c.h);
        const float vignetteY = 1.0f - 0.32f * (2.0f * v - 1.0f) * (2.0f * v - 1.0f);
        unsigned char *row = &c.px[std::size_t(y) * std::size_t(c.w) * 3];
        for (int x = 0; x < c.w; ++x) {
            const float u = float(x) / float(c.w);
            const float shade = vignetteX[std::size_t(x)] * vignetteY;
            row[3 * x + 0] = Canvas::to8((150.0f - 70.0f * u + 50.0f * v + 20.0f * drift) * shade);
            row[3 * x + 1] = Canvas::to8((70.0f + 90.0f * v + 40.0f * u * v) * shade);
            row[3 * x + 2] = Canvas::to8((80.0f + 130.0f * u - 25.0f * drift) * shade);
        }
    }
}

// A disc with a soft, one-pixel anti-aliased rim and a highlight, like a lit ball.
void paintDisc(Canvas &c, float cx, float cy, float radius, Colour colour)
{
    const int x0 = std::max(0, int(cx - radius - 2)), x1 = std::min(c.w - 1, int(cx + radius + 2));
    const int y0 = std::max(0, int(cy - radius - 2)), y1 = std::min(c.h - 1, int(cy + radius + 2));
    for (int y = y0; y <= y1; ++y) {
        for (int x = x0; x <= x1; ++x) {
            const float dx = float(x) - cx, dy = float(y) - cy;
            const float d = std::sqrt(dx * dx + dy * dy);
            const float alpha = std::clamp(radius - d + 0.5f, 0.0f, 1.0f);
            if (alpha <= 0.0f)
                continue;
            const float light = 1.0f + 0.45f * std::max(0.0f, 1.0f - std::hypot(dx + radius * 0.35f, dy + radius * 0.35f) / radius) - 0.35f * d / radius;
            c.blend(x, y, {colour.b * light, colour.g * light, colour.r * light}, alpha);
        }
    }
}

// A rectangle with a darker frame; its left and right ends are hard edges that move.
void paintBlock(Canvas &c, int left, int top, int width, int height, Colour fill)
{
    const int border = std::max(1, height / 12);
    for (int y = std::max(0, top); y < std::min(c.h, top + height); ++y) {
        for (int x = std::max(0, left); x < std::min(c.w, left + width); ++x) {
            const bool edge = x - left < border || left + width - 1 - x < border || y - top < border
                              || top + height - 1 - y < border;
            const float k = edge ? 0.35f : 1.0f - 0.25f * float(y - top) / float(height);
            c.blend(x, y, {fill.b * k, fill.g * k, fill.r * k}, 1.0f);
        }
    }
}

// A black and white band: a hard edge sweeping across, then fine bars scrolling one bar per frame.
void paintEdgeBand(Canvas &c, int top, int height, float edgeX, int frame)
{
    const int bar = std::max(2, c.w / 160);
    const int period = 2 * bar;
    const int scroll = (frame % testPatternPeriod) * period / 4;
    for (int y = std::max(0, top); y < std::min(c.h, top + height); ++y) {
        for (int x = 0; x < c.w; ++x) {
            float level;
            if (y < top + height / 2)
                level = float(x) < edgeX ? 18.0f : 238.0f;
            else
                level = ((x + scroll) % period) < bar ? 20.0f : 230.0f;
            c.blend(x, y, {level, level, level}, 1.0f);
        }
    }
}

// Sensor-like grain: temporal noise of a few levels plus a faint fixed texture.
void addGrain(Canvas &c, int frame)
{
    const auto seed = std::uint32_t(frame) * 0x9E3779B9U;
    for (int y = 0; y < c.h; ++y) {
        unsigned char *row = &c.px[std::size_t(y) * std::size_t(c.w) * 3];
        for (int x = 0; x < c.w; ++x) {
            const std::uint32_t n = mix(std::uint32_t(y) * 0x10001U + std::uint32_t(x) * 0x3FFU + seed);
            const int texture = int(mix(std::uint32_t(x / 3) * 7919U + std::uint32_t(y / 3) * 104729U) & 7U) - 4;
            for (int ch = 0; ch < 3; ++ch) {
                const int noise = int((n >> (ch * 8)) & 7U) - 4;
                row[3 * x + ch] = static_cast<unsigned char>(std::clamp(row[3 * x + ch] + noise + texture, 0, 255));
            }
        }
    }
}

} // namespace

std::vector<unsigned char> renderTestPattern(int width, int height, int frameNumber)
{
    Canvas canvas(width, height);
    const int frame = ((frameNumber % testPatternPeriod) + testPatternPeriod) % testPatternPeriod;
    const float phase = 2.0f * std::numbers::pi_v<float> * float(frame) / float(testPatternPeriod);
    const float w = float(width), h = float(height);

    paintBackground(canvas, phase);
    paintBlock(canvas, int(w * (0.08f + 0.5f * (0.5f + 0.5f * std::sin(phase)))), int(h * 0.18f), int(w * 0.22f),
               int(h * 0.3f), {60.0f, 170.0f, 90.0f});
    paintDisc(canvas, w * (0.5f + 0.3f * std::cos(phase)), h * (0.45f + 0.2f * std::sin(2.0f * phase)), h * 0.14f,
              {40.0f, 120.0f, 230.0f});
    paintDisc(canvas, w * (0.75f - 0.15f * std::sin(phase)), h * 0.3f, h * 0.07f, {200.0f, 90.0f, 60.0f});
    paintEdgeBand(canvas, int(h * 0.8f), std::max(2, int(h * 0.12f)), w * (0.5f + 0.45f * std::sin(phase)), frame);
    addGrain(canvas, frame);
    return std::move(canvas.px);
}
