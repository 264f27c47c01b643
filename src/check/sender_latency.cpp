#include "check/sender_latency.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace skelv {

namespace {

using nlohmann::json;

bool is_int(const json& j, const char* key)
{
    return j.contains(key) && j[key].is_number_integer();
}

std::string malformed(const std::string& path, size_t line, const std::string& what)
{
    return "the sender's sidecar " + path + " is malformed at line " + std::to_string(line) + ": " + what;
}

// A frame or beep line into `frames` or `beeps` (`newest` the highest content frame listed);
// false when it is neither and not some other line of a play (the header, the end).
bool take_line(const json& line, SentTimes* frames, SentTimes* beeps, int64_t* newest)
{
    const std::string type = line.value("type", "");
    if (type == "frame") {
        if (!is_int(line, "clock_ns") || !line.contains("content_offset"))
            return false;
        if (line["content_offset"].is_number_integer()) {
            const int64_t number = line["content_offset"].get<int64_t>();
            (*frames)[number] = line["clock_ns"].get<int64_t>();
            *newest = std::max(*newest, number);
        }
        return line["content_offset"].is_number_integer() || line["content_offset"].is_null();
    }
    if (type == "beep") {
        if (!is_int(line, "clock_ns") || !is_int(line, "flash_offset"))
            return false;
        (*beeps)[line["flash_offset"].get<int64_t>()] = line["clock_ns"].get<int64_t>();
        return true;
    }
    return type == "play" || type == "end";
}

std::string clock_text(const ClockIdentity& clock)
{
    return clock.name + " (" + clock.type + ")";
}

} // namespace

// The sender's clock from its play line.
bool read_sender_clock(const std::string& text, const std::string& sidecar, ClockIdentity* clock, std::string* error)
{
    const json header = json::parse(text, nullptr, false);
    if (header.is_discarded() || !header.is_object() || header.value("type", "") != "play") {
        *error = "the sender's sidecar " + sidecar + " does not start with the header of skelv-generate --play";
        return false;
    }
    const json& c = header.contains("clock") ? header["clock"] : json();
    if (!c.is_object() || !c.value("name", json()).is_string() || !c.value("type", json()).is_string() ||
        !is_int(c, "base_time_ns")) {
        *error = malformed(sidecar, 1, "no clock with a name, a type and a base time");
        return false;
    }
    *clock = {c["name"].get<std::string>(), c["type"].get<std::string>(), c.value("boot_id", ""),
        c["base_time_ns"].get<int64_t>(), c.value("network", json()).is_string() ? c["network"].get<std::string>() : "",
        -1};
    return true;
}

// A receiver following a network clock reads the time of the sender that serves it.
bool comparable_network_clocks(const ClockIdentity& sender, const ClockIdentity& receiver, std::string* error)
{
    std::string host;
    int served = 0, followed = 0;
    if (!sender.network.empty())
        split_clock_address(sender.network, &host, &served);
    split_clock_address(receiver.network, &host, &followed);
    if (served == 0)
        *error = "this pipeline follows the network clock at " + receiver.network +
                 ", but the sender served none: play with --clock net://:PORT";
    else if (served != followed)
        *error = "the sender served its clock on port " + std::to_string(served) + ", this pipeline follows " +
                 receiver.network;
    return error->empty();
}

bool comparable_clocks(const ClockIdentity& sender, const ClockIdentity& receiver, std::string* error)
{
    if (!receiver.network.empty())
        return comparable_network_clocks(sender, receiver, error);
    if (sender.type != "system monotonic" || receiver.type != sender.type)
        *error = "the sender's clock is " + clock_text(sender) + ", this pipeline's " + clock_text(receiver) +
            ": only the system monotonic clock of one machine gives both the same time";
    else if (!sender.boot_id.empty() && !receiver.boot_id.empty() && sender.boot_id != receiver.boot_id)
        *error = "the sender's sidecar comes from another machine or an earlier boot (boot " + sender.boot_id +
            ", here " + receiver.boot_id + "): its monotonic clock is not this one";
    return error->empty();
}

bool SenderLatency::open(const std::string& sidecar, std::string* error)
{
    std::string play_line;
    if (!lines_.open(sidecar, error) || !lines_.play_line(&play_line, error))
        return false;
    sidecar_ = sidecar;
    lines_read_ = 1;
    return read_sender_clock(play_line, sidecar_, &sender_, error);
}

bool SenderLatency::use_clock(const std::optional<ClockIdentity>& receiver, std::string* error)
{
    if (!receiver) {
        *error = "--sender needs a source timed as it arrives (udp://, rtp, srt://, rtsp://, a live --pipeline): "
                 "this one's times cannot be put on the sender's clock";
        return false;
    }
    receiver_ = *receiver;
    return comparable_clocks(sender_, receiver_, error);
}

int64_t SenderLatency::on_sender_clock(int64_t receiver_ns) const
{
    return mapping_ ? mapping_->external(receiver_ns) : receiver_ns;
}

void SenderLatency::read_new_lines()
{
    if (!sidecar_error_.empty())
        return;
    std::string text;
    while (lines_.next(&text)) {
        lines_read_++;
        const json line = json::parse(text, nullptr, false);
        if (line.is_discarded() || !line.is_object() || !take_line(line, &sent_frames_, &sent_beeps_, &newest_sent_)) {
            sidecar_error_ = malformed(sidecar_, lines_read_, "not a line of a play");
            return;
        }
    }
}

void SenderLatency::take_frame(const CheckFrame& frame)
{
    // Live, the content never starts over: a later loop is a new play, not this sidecar's.
    if (frame.source_frame < 0 || frame.repeated || frame.loop != 0)
        return;
    if (frame.source_frame > newest_sent_)
        read_new_lines();
    pair_waiting();
    pair(frame.source_frame, on_sender_clock(receiver_.base_time_ns + frame.time_ns));
}

void SenderLatency::pair(int64_t number, int64_t arrived_ns)
{
    // A frame arrives once; its repeats and late copies are no arrival of it. Numbers this far
    // below the latest paired are taken for such copies.
    constexpr size_t kRecentNumbers = 4096;
    if (!paired_.empty() && (number < *paired_.begin() || paired_.count(number) > 0))
        return;
    const auto sending = sent_frames_.find(number);
    if (sending == sent_frames_.end()) {
        if (number <= newest_sent_) // listed past it, never it
            unmatched_++;
        else if (waiting_.size() < kRecentNumbers)
            waiting_.push_back({number, arrived_ns});
        else // the sidecar stands still: no more wait for it
            unmatched_++;
        return;
    }
    video_.add(sending->second, arrived_ns);
    paired_.insert(number);
    if (paired_.size() > kRecentNumbers)
        paired_.erase(paired_.begin());
    sent_frames_.erase(sent_frames_.begin(), sent_frames_.lower_bound(*paired_.begin()));
}

void SenderLatency::pair_waiting()
{
    if (waiting_.empty()) // as for nearly every frame: no deque made for nothing
        return;
    std::deque<Arrival> waiting;
    waiting.swap(waiting_);
    for (const Arrival& arrival : waiting)
        pair(arrival.number, arrival.clock_ns);
}

void SenderLatency::describe(CheckResult* result, bool final)
{
    CheckLatency& latency = result->latency.emplace();
    latency.sidecar = sidecar_;
    latency.sender = sender_;
    latency.receiver = receiver_;
    read_new_lines();
    pair_waiting();
    if (final) { // what still waits was never sent by this play
        unmatched_ += waiting_.size();
        waiting_.clear();
    }
    if (!sidecar_error_.empty()) {
        latency.unmeasured_reason = sidecar_error_;
        return;
    }
    if (!result->video.content_start_seen) {
        latency.unmeasured_reason = "the picture was joined after the sender's header and locator, so its frame "
                                    "numbers are not the sender's: start skelv-check before the content begins";
        return;
    }
    std::vector<Arrival> sounds;
    for (const SyncEvent& e : result->pairing.events)
        if (e.loop == 0)
            sounds.push_back({e.flash_frame, on_sender_clock(receiver_.base_time_ns + e.audio_ns)});
    latency.video = {video_.statistics(), unmatched_, video_.trace()};
    latency.audio = latency_figures(sent_beeps_, sounds);
    if (latency.video.statistics.count == 0 && latency.audio.statistics.count == 0)
        latency.unmeasured_reason = "nothing that arrived is listed in the sender's sidecar";
}

} // namespace skelv
