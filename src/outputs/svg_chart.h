// Small SVG plots drawn as text: a plot area with axes, ticks and titles, and the marks a
// caller adds in data coordinates.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace skelv {

struct Range {
    double lo = 0, hi = 1;
};

// Linear map from data values to SVG pixels.
struct LinearScale {
    Range data;
    double px_lo = 0, px_hi = 1;
    double operator()(double value) const;
};

// The step of about `count` round ticks over `span`: 1, 2 or 5 times a power of ten.
double nice_step(double span, int count);
// Multiples of `step` inside [lo, hi].
std::vector<double> ticks_between(double lo, double hi, double step);
// The digits after the point that tick labels `step` apart need.
int step_decimals(double step);

// `range` widened by `fraction` of its span on each side; an empty range gets `min_span`.
Range padded(Range range, double fraction, double min_span);

// Pixels of a plot and its margins for the axes.
struct ChartFrame {
    int width = 900, height = 300;
    int left = 72, right = 16, top = 14, bottom = 46;
    double plot_left() const { return left; }
    double plot_right() const { return width - right; }
    double plot_top() const { return top; }
    double plot_bottom() const { return height - bottom; }
};

class SvgChart {
public:
    // `id` names the element, `description` says what it shows to a reader that cannot see it.
    SvgChart(std::string id, std::string description, ChartFrame frame, Range x, Range y);

    const ChartFrame& frame() const { return frame_; }
    const LinearScale& x() const { return x_; }
    const LinearScale& y() const { return y_; }

    // Marks clipped to the plot area, and marks drawn over everything.
    void add_plot(const std::string& svg) { plot_ += svg; }
    void add_over(const std::string& svg) { over_ += svg; }

    // Ticks at multiples of `step` data units, labelled in data units divided by `unit`; on the
    // x axis only inside `ticks` when given.
    void x_axis(const std::string& title, double step, double unit = 1, std::optional<Range> ticks = {});
    void y_axis(const std::string& title, double step, double unit = 1);

    // Everything escaped already; a complete <svg> element.
    std::string svg() const;

private:
    std::string id_, description_;
    ChartFrame frame_;
    LinearScale x_, y_;
    std::string grid_, axes_, plot_, over_;
};

// An SVG coordinate: one decimal is finer than a pixel on any screen.
std::string px(double value);

} // namespace skelv
