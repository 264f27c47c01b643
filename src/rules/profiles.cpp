#include "rules/profiles.h"

#include "rules/time_units.h"

#include <charconv>
#include <cmath>

namespace skelv {

namespace {

SyncProfile make_profile(const char* name, const char* title, double lead_ms, double lag_ms, double fraction,
                         double edge_ms)
{
    return {name, title, ns_of_ms(lead_ms), ns_of_ms(lag_ms), fraction, ns_of_ms(edge_ms)};
}

bool valid_limit(double ms)
{
    return std::isfinite(ms) && ms >= 0 && ms <= kMaxLimitMs;
}

} // namespace

bool SyncProfile::passes(size_t within, size_t judged) const
{
    if (judged == 0)
        return false;
    return min_pass_fraction >= 1.0 ? within == judged : double(within) >= min_pass_fraction * double(judged);
}

const std::vector<SyncProfile>& sync_profiles()
{
    static const std::vector<SyncProfile> profiles = {
        make_profile("ebu-r37", "EBU R37", 40, 60, 1.0, 0),
        make_profile("atsc-is191", "ATSC IS-191", 15, 45, 1.0, 0),
        make_profile("bt1359-detect", "ITU-R BT.1359 detectability", 45, 125, 1.0, 0),
        make_profile("bt1359-accept", "ITU-R BT.1359 acceptability", 90, 185, 1.0, 0),
        // Web video: most events, away from the edges where players settle.
        make_profile("wave", "WAVE", 40, 120, 0.95, 1000),
    };
    return profiles;
}

std::string sync_profile_names()
{
    std::string names;
    for (const SyncProfile& p : sync_profiles())
        names += (names.empty() ? "" : ", ") + p.name;
    return names;
}

bool choose_profile(const std::string& name, std::optional<double> lead_ms, std::optional<double> lag_ms,
                    SyncProfile* profile, std::string* error)
{
    const SyncProfile* named = nullptr;
    for (const SyncProfile& p : sync_profiles())
        if (p.name == name)
            named = &p;
    if (named == nullptr) {
        *error = "unknown profile " + name + ": use one of " + sync_profile_names();
        return false;
    }
    if (lead_ms.has_value() != lag_ms.has_value()) {
        *error = "--lead-ms and --lag-ms go together";
        return false;
    }
    if (!lead_ms) {
        *profile = *named;
        return true;
    }
    if (!valid_limit(*lead_ms) || !valid_limit(*lag_ms)) {
        *error = "--lead-ms and --lag-ms take a number of ms from 0 to 60000";
        return false;
    }
    *profile = make_profile("custom", "custom", *lead_ms, *lag_ms, 1.0, 0);
    return true;
}

bool valid_expected_delay_ms(double ms)
{
    return std::isfinite(ms) && std::fabs(ms) <= kMaxLimitMs;
}

bool parse_line_time_us(const std::string& text, std::optional<double>* us, std::string* error)
{
    us->reset();
    if (text == "auto")
        return true;
    double value = -1;
    const auto [end, failed] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (failed != std::errc() || end != text.data() + text.size() || !(value >= 0 && value <= kMaxLineTimeUs)) {
        *error = "--line-time-us takes microseconds from 0 to 1000, or auto";
        return false;
    }
    *us = value;
    return true;
}

} // namespace skelv
