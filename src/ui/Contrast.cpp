#include "ui/Contrast.h"

#include <algorithm>
#include <cmath>

namespace kitewell {

namespace {

double luminance(const QColor& colour) {
    const auto linear = [](double channel) {
        return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
    };
    const QColor rgb = colour.toRgb();
    return 0.2126 * linear(rgb.redF()) + 0.7152 * linear(rgb.greenF()) + 0.0722 * linear(rgb.blueF());
}

// `from` moved `share` (0 to 1) of the way to `to`, opaque.
QColor mix(const QColor& from, const QColor& to, double share) {
    const QColor a = from.toRgb(), b = to.toRgb();
    const auto channel = [share](double x, double y) { return x + (y - x) * share; };
    return QColor::fromRgbF(float(channel(a.redF(), b.redF())), float(channel(a.greenF(), b.greenF())),
                            float(channel(a.blueF(), b.blueF())));
}

constexpr int kSteps = 100;

} // namespace

double Contrast::ratio(const QColor& first, const QColor& second) {
    // The list form: minmax of two temporaries would return references to them.
    const auto [darker, lighter] = std::minmax({luminance(first), luminance(second)});
    return (lighter + 0.05) / (darker + 0.05);
}

QColor Contrast::readable(const QColor& colour, const QColor& background, double minimum) {
    // Towards whichever of black and white stands further from the background.
    const QColor end =
        ratio(Qt::black, background) >= ratio(Qt::white, background) ? QColor(Qt::black) : QColor(Qt::white);
    for (int step = 0; step <= kSteps; ++step) {
        const QColor moved = mix(colour, end, double(step) / kSteps);
        if (ratio(moved, background) >= minimum)
            return moved;
    }
    return end;
}

QColor Contrast::dimmed(const QColor& text, const QColor& background, double strength) {
    // From the dimmest wanted back towards the text itself, until it reads.
    for (int step = int(std::lround((1 - strength) * kSteps)); step > 0; --step) {
        const QColor faded = mix(text, background, double(step) / kSteps);
        if (ratio(faded, background) >= kReadable)
            return faded;
    }
    return readable(text, background);
}

} // namespace kitewell
