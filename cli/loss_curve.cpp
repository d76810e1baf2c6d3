#include "cli/loss_curve.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string_view>

namespace Halcyne::Core::Vestra::Cli {
namespace {

constexpr double width = 800, height = 420;
constexpr double left = 70, right = 20, top = 40, bottom = 50;

struct Range {
    double low = 0.0, high = 1.0;
};

std::string number(double value, const char* format = "%.4g") {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// A tick spacing of 1, 2 or 5 times a power of ten that gives about `count` ticks over the range.
double tickStep(const Range& range, double count) {
    const double raw = (range.high - range.low) / count;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double factor : {1.0, 2.0, 5.0}) {
        if (factor * power >= raw) {
            return factor * power;
        }
    }
    return 10.0 * power;
}

class Plot {
  public:
    Plot(Range steps, Range losses) : steps_(steps), losses_(losses) {}

    [[nodiscard]] double x(double step) const {
        return left + (step - steps_.low) / (steps_.high - steps_.low) * (width - left - right);
    }
    [[nodiscard]] double y(double loss) const {
        return height - bottom - (loss - losses_.low) / (losses_.high - losses_.low) * (height - top - bottom);
    }
    [[nodiscard]] std::string point(double step, double loss) const {
        return number(x(step), "%.1f") + "," + number(y(loss), "%.1f");
    }

    void axes(std::string& svg) const {
        const double stepTick = tickStep(steps_, 8);
        for (double s = std::ceil(steps_.low / stepTick) * stepTick; s <= steps_.high; s += stepTick) {
            svg += "<line x1='" + number(x(s)) + "' y1='" + number(top) + "' x2='" + number(x(s)) + "' y2='" +
                   number(height - bottom) + "' stroke='#e4e4e4'/>\n";
            svg += "<text x='" + number(x(s)) + "' y='" + number(height - bottom + 18) + "' text-anchor='middle'>" +
                   number(s, "%.0f") + "</text>\n";
        }
        const double lossTick = tickStep(losses_, 6);
        for (double l = std::ceil(losses_.low / lossTick) * lossTick; l <= losses_.high; l += lossTick) {
            svg += "<line x1='" + number(left) + "' y1='" + number(y(l)) + "' x2='" + number(width - right) + "' y2='" +
                   number(y(l)) + "' stroke='#e4e4e4'/>\n";
            svg += "<text x='" + number(left - 8) + "' y='" + number(y(l) + 4) + "' text-anchor='end'>" + number(l) +
                   "</text>\n";
        }
        svg += "<rect x='" + number(left) + "' y='" + number(top) + "' width='" + number(width - left - right) +
               "' height='" + number(height - top - bottom) + "' fill='none' stroke='#555'/>\n";
    }

  private:
    Range steps_;
    Range losses_;
};

void polyline(std::string& svg, const std::string& points, std::string_view colour) {
    svg += "<polyline fill='none' stroke='" + std::string(colour) + "' stroke-width='1.5' points='" + points + "'/>\n";
}

}  // namespace

std::string lossCurveSvg(std::span<const StepRecord> records) {
    Range steps{0.0, 1.0};
    Range losses{0.0, 1.0};
    if (!records.empty()) {
        steps = {static_cast<double>(records.front().step) - 1.0, static_cast<double>(records.back().step)};
        losses = {records.front().loss, records.front().loss};
        for (const StepRecord& record : records) {
            for (const double loss : {record.loss, record.validationLoss.value_or(record.loss)}) {
                losses.low = std::min(losses.low, loss);
                losses.high = std::max(losses.high, loss);
            }
        }
        const double margin = std::max(0.05 * (losses.high - losses.low), 0.01);
        losses = {std::max(0.0, losses.low - margin), losses.high + margin};
    }
    const Plot plot(steps, losses);

    std::string svg = "<svg xmlns='http://www.w3.org/2000/svg' width='" + number(width) + "' height='" +
                      number(height) + "' font-family='sans-serif' font-size='12'>\n";
    svg += "<rect width='100%' height='100%' fill='white'/>\n";
    svg +=
        "<text x='" + number(width / 2) + "' y='24' text-anchor='middle' font-size='15'>loss per token (nats)</text>\n";
    svg += "<text x='" + number(width / 2) + "' y='" + number(height - 12) + "' text-anchor='middle'>step</text>\n";
    plot.axes(svg);
    std::string training;
    std::string validation;
    std::string dots;
    for (const StepRecord& record : records) {
        training += plot.point(static_cast<double>(record.step), record.loss) + " ";
        if (record.validationLoss) {
            const std::string at = plot.point(static_cast<double>(record.step), *record.validationLoss);
            validation += at + " ";
            const auto comma = at.find(',');
            dots +=
                "<circle cx='" + at.substr(0, comma) + "' cy='" + at.substr(comma + 1) + "' r='3' fill='#d62728'/>\n";
        }
    }
    polyline(svg, training, "#1f77b4");
    polyline(svg, validation, "#d62728");
    svg += dots;
    svg +=
        "<text x='" + number(width - right - 150) + "' y='" + number(top + 18) + "' fill='#1f77b4'>training</text>\n";
    svg +=
        "<text x='" + number(width - right - 80) + "' y='" + number(top + 18) + "' fill='#d62728'>validation</text>\n";
    svg += "</svg>\n";
    return svg;
}

}  // namespace Halcyne::Core::Vestra::Cli
