#include "generate/generate_options.h"

#include "media/media_source.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <sstream>

namespace skelv {

namespace {

constexpr double kDefaultDuration = 5; // seconds

// Whole-string numbers only: "12x" and "" are malformed.
bool parse_int(const std::string& text, int* value)
{
    char* end = nullptr;
    const long parsed = strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || parsed < -1000000000 || parsed > 1000000000)
        return false;
    *value = int(parsed);
    return true;
}

bool parse_double(const std::string& text, double* value)
{
    char* end = nullptr;
    *value = strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && std::isfinite(*value);
}

// "A<separator>B" with two whole numbers.
bool parse_pair(const std::string& text, char separator, int* a, int* b)
{
    const size_t at = text.find(separator);
    return at != std::string::npos && parse_int(text.substr(0, at), a) && parse_int(text.substr(at + 1), b);
}

bool parse_list(const std::string& text, std::vector<int>* list)
{
    std::istringstream items(text);
    for (std::string item; std::getline(items, item, ',');) {
        int frame = 0;
        if (!parse_int(item, &frame))
            return false;
        list->push_back(frame);
    }
    return !list->empty();
}

bool in_range(int value, int low, int high)
{
    return value >= low && value <= high;
}

struct Option {
    std::string name;       ///< without the leading dashes
    std::string value_name; ///< what the help calls the value; empty for a flag
    std::string help;
    std::function<bool(const std::string&)> apply; ///< false: the value is malformed or out of range
};

struct OptionGroup {
    const char* title;
    std::vector<Option> options;
};

// Values that decide other defaults once every option is known.
struct Pending {
    double duration = kDefaultDuration;
    std::string duration_text; ///< as given; empty when not
    bool content_given = false;
    bool flash_period_given = false;
};

std::vector<OptionGroup> option_table(GenerateOptions* o, Pending* pending)
{
    ClipParams* c = &o->clip;
    const auto whole = [](int* field, int low, int high) {
        return [=](const std::string& v) { return parse_int(v, field) && in_range(*field, low, high); };
    };
    // CLI11 records a bare flag as "true" and --flag=VALUE as VALUE.
    const auto flag = [](bool* field, bool value) {
        return [=](const std::string& v) {
            *field = value;
            return v == "true";
        };
    };
    const auto text = [](std::string* field) {
        return [=](const std::string& v) {
            *field = v;
            return true;
        };
    };
    return {
        {"Picture",
            {
                {"size", "WxH", "frame size in pixels, even numbers (320x240)",
                    [=](const std::string& v) {
                        return parse_pair(v, 'x', &c->width, &c->height) && in_range(c->width, 32, 7680) &&
                            in_range(c->height, 32, 4320) && c->width % 2 == 0 && c->height % 2 == 0;
                    }},
                {"fps", "N[/D]", "frame rate, e.g. 25, 50 or 30000/1001 (25)",
                    [=](const std::string& v) {
                        c->fps.den = 1;
                        const bool parsed = v.find('/') == std::string::npos
                            ? parse_int(v, &c->fps.num)
                            : parse_pair(v, '/', &c->fps.num, &c->fps.den);
                        return parsed && c->fps.den > 0 && in_range(c->fps.num, 1, 240 * c->fps.den);
                    }},
                {"duration", "SECONDS",
                    "whole clip, up to 600; the content span gets what the others leave\n(5). With --play: how long "
                    "to play (until stopped)",
                    [=](const std::string& v) {
                        pending->duration_text = v;
                        return parse_double(v, &pending->duration) && pending->duration > 0;
                    }},
                {"header", "N", "all-white frames before the locator (5)", whole(&c->header, 0, 100000)},
                {"locator", "N", "identical frames that show each marker's steady state (5)",
                    whole(&c->locator, 2, 100000)},
                {"content", "N", "blinking frames; overrides --duration",
                    [=](const std::string& v) {
                        pending->content_given = true;
                        return parse_int(v, &c->content) && c->content > 0;
                    }},
                {"trailer", "N", "all-white frames at the end (5)", whole(&c->trailer, 0, 100000)},
                {"sync-period", "N", "SYNCMARK half-period in frames (4)", whole(&c->sync_half_period, 1, 1000)},
                {"frameid-bits", "N", "FRAMEID markers, half-periods 1, 2, 4, ... frames (4)",
                    whole(&c->frameid_bits, 1, 10)},
                {"flash-period", "N", "content frames from one lip-sync flash to the next (one second)",
                    [=](const std::string& v) {
                        pending->flash_period_given = true;
                        return parse_int(v, &c->flash_period) && in_range(c->flash_period, 2, 100000);
                    }},
            }},
        {"Sound",
            {
                {"audio-rate", "HZ", "sample rate, 8000 to 192000 (48000)", whole(&c->audio_rate, 8000, 192000)},
                {"audio-delay", "MS",
                    "each beep starts this long after its flash, -10000 to 10000;\nnegative: before (0)",
                    [=](const std::string& v) {
                        return parse_double(v, &c->audio_delay_ms) && std::abs(c->audio_delay_ms) <= 10000;
                    }},
                {"beep-ms", "MS", "length of a beep (100)", whole(&c->beep_ms, 1, 10000)},
            }},
        {"Encoding",
            {
                {"video-codec", "NAME", codec_names(true) + " (the container's default)", text(&o->video_codec)},
                {"audio-codec", "NAME", codec_names(false) + " (the container's default)", text(&o->audio_codec)},
                {"quality", "N", "video quality from 1 (worst) to 100 (best) (85)", whole(&o->quality, 1, 100)},
                {"no-audio", "", "write no sound track", flag(&c->audio, false)},
                {"no-video", "", "write no picture", flag(&c->video, false)},
                {"background", "NAME",
                    "grey, or black: every background pixel then stays a marker\ncandidate, the analyser's slowest "
                    "case (grey)",
                    [=](const std::string& v) {
                        c->background = v == "black" ? 0 : 128;
                        return v == "black" || v == "grey";
                    }},
            }},
        {"Playing live (TARGET: udp://HOST:PORT, srt://[HOST]:PORT, http://[HOST]:PORT/NAME.m3u8, "
         "rtsp://[HOST]:PORT/NAME: MPEG-TS of H.264 and MP2; or auto)",
            {
                {"play", "", "play the signal live to TARGET (auto) without end, instead of\nwriting a clip",
                    flag(&o->play, true)},
                {"pipeline", "DESC",
                    "play into this launch description instead of a TARGET: its\nelements named video and audio "
                    "take raw video and raw sound",
                    text(&o->pipeline)},
                {"sidecar", "FILE", "JSON lines of every frame and beep sent (play.ndjson)", text(&o->sidecar)},
                {"send-sidecar", "udp://HOST:PORT",
                    "send each line of the sidecar to HOST:PORT as well, one UDP\ndatagram each, for skelv-check "
                    "--sender udp://:PORT on another\nmachine",
                    text(&o->send_sidecar)},
                {"locator-every", "MINUTES",
                    "show the header and locator again about this often, for a\nreceiver that joins late; the count "
                    "goes on (at the start only)",
                    [=](const std::string& v) {
                        return parse_double(v, &o->locator_every_minutes) && o->locator_every_minutes > 0 &&
                            o->locator_every_minutes <= 1e6;
                    }},
                {"clock", "net://[HOST]:PORT",
                    "serve the play's clock as a GStreamer network clock (every\naddress without HOST): skelv-check "
                    "--clock on another machine\nthen times what arrives as the sidecar times what left",
                    text(&o->clock)},
            }},
        {"Faults on purpose (design frames count from 0; in the content, after the first blinks)",
            {
                {"drop", "N[,N...]", "leave these frames out: a gap in the video timestamps",
                    [=](const std::string& v) { return parse_list(v, &c->drop); }},
                {"repeat", "N[,N...]", "show these frames twice: all later frames come one frame late",
                    [=](const std::string& v) { return parse_list(v, &c->repeat); }},
                {"start-ms", "MS", "both streams start this late instead of at 0",
                    [=](const std::string& v) {
                        double ms = 0;
                        if (!parse_double(v, &ms) || ms < 0 || ms > 1e9)
                            return false;
                        c->start_ns = std::llround(ms * 1e6);
                        return true;
                    }},
            }},
    };
}

// The usage line first, then the containers, then the options by group one blank line apart.
// OUTPUT is checked after parsing (an unknown option is the better message), so the usage
// line names it as needed here.
class HelpFormatter : public CLI::Formatter {
public:
    HelpFormatter() { column_width(25); }

    std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode mode) const override
    {
        std::string text = "Usage: skelv-generate [options] OUTPUT\n"
                           "       skelv-generate --play [options] [TARGET]\n\n" +
            make_description(app) +
            make_groups(app, mode) + "\n" + make_footer(app);
        for (size_t at; (at = text.find("\n\n\n")) != std::string::npos;)
            text.erase(at, 1);
        return text;
    }
};

// CLI11 only splits the command line (--name value, --name=value, repeats): every value is
// kept as given and read by the table afterwards, so that the messages stay the program's own.
void define_options(CLI::App& app, const std::vector<OptionGroup>& table, std::string* output)
{
    app.description("Writes a test clip for skelv-analyzer to OUTPUT and, beside it, OUTPUT.expected.json with\n"
                    "what a correct analysis reports. The extension of OUTPUT names the container and its\n"
                    "default codecs:\n" +
        container_defaults());
    app.footer("Exit codes: 0 written (or played to the end, or stopped by SIGINT or SIGTERM), 1 wrong\n"
               "command line, 2 the clip could not be made or the signal not played.");
    app.formatter(std::make_shared<HelpFormatter>());
    app.allow_extras();
    app.add_option("OUTPUT", *output)->group(""); // named in the usage line
    for (const OptionGroup& group : table)
        for (const Option& option : group.options) {
            CLI::Option* added = option.value_name.empty() ? app.add_flag("--" + option.name)
                                                           : app.add_option("--" + option.name)
                                                                 ->type_name(option.value_name)
                                                                 ->expected(1)
                                                                 ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
            added->description(option.help)->group(group.title);
        }
    app.set_help_flag("-h,--help", "show this text"); // last: after the groups
}

// Each option's values in the order given: a list gathers them, for any other the last wins.
// False at the first bad one.
bool apply_values(const CLI::App& app, const std::vector<OptionGroup>& table, std::string* error)
{
    for (const OptionGroup& group : table)
        for (const Option& option : group.options)
            for (const std::string& value : app.get_option("--" + option.name)->results())
                if (!option.apply(value)) {
                    *error = "bad value for --" + option.name + ": " + value;
                    return false;
                }
    return true;
}

// What CLI11 left over: an unknown option, or a second path.
std::string leftover_error(const std::vector<std::string>& leftovers, const std::string& output)
{
    const std::string& first = leftovers.front();
    return first.size() > 1 && first[0] == '-' ? "unknown option " + first
                                                : "more than one output path: " + output + ", " + first;
}

// Content fills the duration that the other spans leave; one flash per second by default.
// Played live, the duration is the playing time and the content has no end.
void apply_pending(const Pending& pending, GenerateOptions* options)
{
    ClipParams* clip = &options->clip;
    if (options->play)
        options->play_seconds = pending.duration_text.empty() ? 0 : pending.duration;
    if (!pending.content_given) {
        const double seconds = options->play ? kDefaultDuration : pending.duration;
        const long long total = std::llround(seconds * clip->fps.num / clip->fps.den);
        clip->content = int(total) - clip->header - clip->locator - clip->trailer;
    }
    if (!pending.flash_period_given)
        clip->flash_period = std::max(2, int(std::lround(double(clip->fps.num) / clip->fps.den)));
}

// A clip has an end and a content span; played live, the picture and sound go on together.
bool check_play(const CLI::App& app, GenerateOptions* options, std::string* error)
{
    for (const char* name : {"content", "trailer", "drop", "repeat", "start-ms", "no-audio", "no-video",
             "video-codec", "audio-codec"})
        if (app.get_option(std::string("--") + name)->count() > 0) {
            *error = std::string("--") + name + " does not apply to --play";
            return false;
        }
    if (!options->pipeline.empty() && !options->output.empty()) {
        *error = "give either a TARGET or --pipeline, not both";
        return false;
    }
    if (options->pipeline.empty() && options->output.empty())
        options->output = "auto";
    std::string address;
    if (!options->clock.empty() && !network_clock_address(options->clock, false, &address)) {
        *error = "--clock takes net://[HOST]:PORT, PORT from 1 to 65535: " + options->clock;
        return false;
    }
    options->clock = address;
    if (!options->send_sidecar.empty() && !host_port_address(options->send_sidecar, "udp://", true, &address)) {
        *error = "--send-sidecar takes udp://HOST:PORT, PORT from 1 to 65535: " + options->send_sidecar;
        return false;
    }
    options->send_sidecar = options->send_sidecar.empty() ? "" : address;
    return true;
}

bool check_clip(const CLI::App& app, const Pending& pending, const GenerateOptions& options, std::string* error)
{
    for (const char* name : {"pipeline", "sidecar", "send-sidecar", "clock", "locator-every"})
        if (app.get_option(std::string("--") + name)->count() > 0)
            *error = std::string("--") + name + " needs --play";
    if (pending.duration > kMaxSeconds)
        *error = "bad value for --duration: " + pending.duration_text;
    else if (error->empty() && options.output.empty())
        *error = "no output path";
    return error->empty();
}

} // namespace

bool generate_options_parse(const std::vector<std::string>& args, GenerateOptions* options, std::string* error)
{
    *options = GenerateOptions{};
    Pending pending;
    const std::vector<OptionGroup> table = option_table(options, &pending);
    CLI::App app{"", "skelv-generate"};
    define_options(app, table, &options->output);
    try {
        app.parse(std::vector<std::string>(args.rbegin(), args.rend())); // CLI11 takes them last first
    } catch (const CLI::CallForHelp&) {
        options->help = true;
        return true;
    } catch (const CLI::ArgumentMismatch& e) {
        // "--size: 1 required WxH missing": the value is missing at the end of the line.
        const std::string what = e.what();
        *error = "option " + what.substr(0, what.find(':')) + " needs a value";
        return false;
    } catch (const CLI::ParseError& e) {
        *error = e.what();
        return false;
    }
    // A value CLI11 took for an option may have been the next option's name: report it first.
    if (!apply_values(app, table, error))
        return false;
    if (!app.remaining().empty()) {
        *error = leftover_error(app.remaining(), options->output);
        return false;
    }
    apply_pending(pending, options);
    return options->play ? check_play(app, options, error) : check_clip(app, pending, *options, error);
}

namespace {

bool exceeds_pcm_rate(const Encoding& encoding, const ClipParams& clip)
{
    const int limit = encoding.container->max_pcm_rate;
    return encoding.audio != nullptr && encoding.audio->encoder == nullptr && limit > 0 && clip.audio_rate > limit;
}

} // namespace

bool generate_options_encoding(GenerateOptions* options, Encoding* encoding, std::string* error)
{
    error->clear();
    ClipParams& clip = options->clip;
    encoding->container = container_for_path(options->output);
    if (encoding->container == nullptr) {
        *error =
            "cannot tell the container from " + options->output + ": use one of the extensions " + container_names();
        return false;
    }
    // A container without video (wav) leaves the picture out unless a codec is asked for.
    const char* video_name = options->video_codec.empty() ? encoding->container->video : options->video_codec.c_str();
    clip.video = clip.video && video_name != nullptr;
    const char* audio_name = options->audio_codec.empty() ? encoding->container->audio : options->audio_codec.c_str();
    for (bool video : {true, false}) {
        if (!(video ? clip.video : clip.audio))
            continue;
        const Codec* codec = find_codec(video ? video_name : audio_name, video);
        if (codec == nullptr) {
            *error = std::string("unknown ") + (video ? "video" : "audio") + " codec " +
                (video ? video_name : audio_name) + ": use one of " + codec_names(video);
            return false;
        }
        (video ? encoding->video : encoding->audio) = codec;
    }
    if (!clip.video && !clip.audio) {
        *error = "nothing to write: both streams are left out";
        return false;
    }
    const std::string container = std::string("a .") + encoding->container->extension + " file";
    if (!clip.drop.empty() && !encoding->container->keeps_gaps)
        *error = container + " does not keep the gap of a dropped frame: use .mkv, .webm or .ts";
    else if (clip.start_ns > 0 && !encoding->container->keeps_late_start)
        *error = container + " does not keep a late start: use .mkv or .webm";
    else if (exceeds_pcm_rate(*encoding, clip))
        *error = container + " holds pcm audio up to " + std::to_string(encoding->container->max_pcm_rate) +
            " Hz: use another audio codec or container";
    return error->empty();
}

std::string generate_help_text()
{
    GenerateOptions options;
    Pending pending;
    CLI::App app{"", "skelv-generate"};
    define_options(app, option_table(&options, &pending), &options.output);
    return app.help();
}

} // namespace skelv
