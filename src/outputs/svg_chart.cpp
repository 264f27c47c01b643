#include "outputs/svg_chart.h"

#include "outputs/html_text.h"

#include <algorithm>
#include <cmath>

namespace skelv {

double LinearScale::operator()(double value) const
{
    const double span = data.hi - data.lo;
    if (!(span > 0))
        return (px_lo + px_hi) / 2;
    return px_lo + (value - data.lo) * (px_hi - px_lo) / span;
}

double nice_step(double span, int count)
{
    if (!(span > 0) || count < 1)
        return 1;
    const double rough = span / count;
    const double power = std::pow(10, std::floor(std::log10(rough)));
    for (double factor : {1.0, 2.0, 5.0})
        if (rough <= factor * power * 1.0000001)
            return factor * power;
    return 10 * power;
}

std::vector<double> ticks_between(double lo, double hi, double step)
{
    std::vector<double> ticks;
    if (!(step > 0) || !(hi >= lo) || (hi - lo) / step > 1000)
        return ticks;
    for (double k = std::ceil(lo / step - 1e-9); k * step <= hi + step * 1e-9; k++)
        ticks.push_back(k * step);
    return ticks;
}

int step_decimals(double step)
{
    if (!(step > 0) || step >= 1)
        return 0;
    return std::min(6, int(std::ceil(-std::log10(step) - 1e-9)));
}

Range padded(Range range, double fraction, double min_span)
{
    double span = range.hi - range.lo;
    if (!(span > 0)) {
        const double middle = (range.lo + range.hi) / 2;
        return {middle - min_span / 2, middle + min_span / 2};
    }
    return {range.lo - span * fraction, range.hi + span * fraction};
}

std::string px(double value)
{
    return fixed(value, 1);
}

SvgChart::SvgChart(std::string id, std::string description, ChartFrame frame, Range x, Range y)
    : id_(std::move(id)), description_(std::move(description)),
      frame_(frame), x_{x, frame.plot_left(), frame.plot_right()}, y_{y, frame.plot_bottom(), frame.plot_top()}
{
}

void SvgChart::x_axis(const std::string& title, double step, double unit, std::optional<Range> ticks)
{
    const int decimals = step_decimals(step / unit);
    const double bottom = frame_.plot_bottom();
    const Range span = ticks.value_or(x_.data);
    for (double tick : ticks_between(std::max(span.lo, x_.data.lo), std::min(span.hi, x_.data.hi), step)) {
        const std::string at = px(x_(tick));
        grid_ += "<path class=\"grid\" d=\"M" + at + " " + px(frame_.plot_top()) + "V" + px(bottom) + "\"/>";
        axes_ += "<path d=\"M" + at + " " + px(bottom) + "v5\"/>";
        axes_ += "<text x=\"" + at + "\" y=\"" + px(bottom + 18) + "\" text-anchor=\"middle\">" +
                 fixed(tick / unit, decimals) + "</text>";
    }
    axes_ += "<text class=\"title\" x=\"" + px((frame_.plot_left() + frame_.plot_right()) / 2) + "\" y=\"" +
             px(frame_.height - 6) + "\" text-anchor=\"middle\">" + title + "</text>";
}

void SvgChart::y_axis(const std::string& title, double step, double unit)
{
    const int decimals = step_decimals(step / unit);
    const double left = frame_.plot_left();
    for (double tick : ticks_between(y_.data.lo, y_.data.hi, step)) {
        const std::string at = px(y_(tick));
        grid_ += "<path class=\"grid\" d=\"M" + px(left) + " " + at + "H" + px(frame_.plot_right()) + "\"/>";
        axes_ += "<path d=\"M" + px(left - 5) + " " + at + "h5\"/>";
        axes_ += "<text x=\"" + px(left - 8) + "\" y=\"" + px(y_(tick) + 4) + "\" text-anchor=\"end\">" +
                 fixed(tick / unit, decimals) + "</text>";
    }
    const std::string middle = px((frame_.plot_top() + frame_.plot_bottom()) / 2);
    axes_ += "<text class=\"title\" x=\"14\" y=\"" + middle + "\" text-anchor=\"middle\" transform=\"rotate(-90 14 " +
             middle + ")\">" + title + "</text>";
}

std::string SvgChart::svg() const
{
    const std::string clip = id_ + "-area";
    const std::string box = "x=\"" + px(frame_.plot_left()) + "\" y=\"" + px(frame_.plot_top()) + "\" width=\"" +
                            px(frame_.plot_right() - frame_.plot_left()) + "\" height=\"" +
                            px(frame_.plot_bottom() - frame_.plot_top()) + "\"";
    return "<svg id=\"" + id_ + "\" class=\"chart\" viewBox=\"0 0 " + std::to_string(frame_.width) + " " +
           std::to_string(frame_.height) + "\" role=\"img\"><title>" + description_ + "</title>" +
           "<defs><clipPath id=\"" + clip + "\"><rect " + box + "/></clipPath></defs>" + "<g clip-path=\"url(#" + clip +
           ")\">" + grid_ + plot_ + "</g>" + "<rect class=\"frame\" " + box + "/><g class=\"axes\">" + axes_ + "</g>" +
           over_ + "</svg>";
}

} // namespace skelv
