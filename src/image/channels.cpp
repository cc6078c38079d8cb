#include "image/channels.h"

#include <charconv>
#include <type_traits>

#include "io/error_text.h"
#include "simd/simd.h"

namespace lumtab {

namespace {

// "gray", "red, green, blue, alpha", or "0 to 2" where the channels have no names.
std::string listed(const ImageInfo& info) {
    std::vector<std::string> names = channel_names(info);
    if (names.empty()) return "0 to " + std::to_string(info.channels - 1);
    std::string list;
    for (const std::string& name : names)
        list += (list.empty() ? "" : ", ") + name;
    return list;
}

bool is_colour(const std::vector<std::string>& names) {
    return names.size() >= 3;
}

int index_of(const std::vector<std::string>& names, std::string_view name) {
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i] == name) return static_cast<int>(i);
    return -1;
}

// The largest integer at most a / 1000, for any sign.
std::int64_t floor_thousandths(std::int64_t a) {
    return a >= 0 ? a / 1000 : -((-a + 999) / 1000);
}

}  // namespace

double luma(double red, double green, double blue, SampleType type) {
    if (type == SampleType::float32 || type == SampleType::float64) {
        const double y = 0.299 * red + 0.587 * green + 0.114 * blue;
        return type == SampleType::float32 ? static_cast<float>(y) : y;
    }
    const auto sum = 299 * static_cast<std::int64_t>(red) + 587 * static_cast<std::int64_t>(green) +
                     114 * static_cast<std::int64_t>(blue);
    return static_cast<double>(floor_thousandths(sum + 500));
}

namespace {

template <typename Sample>
std::size_t apply_to(const Selection& selection, std::span<const Sample> samples, Sample* out,
                     SampleType type = SampleType::uint) {
    const auto channels = static_cast<std::size_t>(selection.channels);
    const std::size_t pixels = samples.size() / channels;
    switch (selection.kind) {
        case Selection::Kind::all:
            if (out != samples.data()) std::copy(samples.begin(), samples.end(), out);
            return samples.size();
        case Selection::Kind::one: {
            const Sample* in = samples.data() + selection.channel;
            for (std::size_t i = 0; i < pixels; ++i)
                out[i] = in[i * channels];
            return pixels;
        }
        case Selection::Kind::luma:
            break;
    }
    if constexpr (std::is_same_v<Sample, double>) {
        const double* in = samples.data();
        for (std::size_t i = 0; i < pixels; ++i, in += channels)
            out[i] = luma(in[0], in[1], in[2], type);
    } else if constexpr (sizeof(Sample) == 1) {
        simd::kernel().luma_8(samples.data(), pixels, static_cast<unsigned>(channels), out);
    } else {
        const Sample* in = samples.data();
        for (std::size_t i = 0; i < pixels; ++i, in += channels)
            out[i] = static_cast<Sample>(simd::luma(in[0], in[1], in[2]));
    }
    return pixels;
}

}  // namespace

std::vector<std::string> channel_names(const ImageInfo& info) {
    std::string type = info.tuple_type;
    bool alpha = type.ends_with("_ALPHA");
    if (alpha) type.resize(type.size() - 6);
    std::vector<std::string> names;
    if (type == "GRAYSCALE" || type == "BLACKANDWHITE") {
        names = {"gray"};
    } else if (type == "RGB") {
        names = {"red", "green", "blue"};
    } else if (info.channels == 1) {
        names = {"gray"};  // a single channel is grey, whatever it is called
    }
    if (alpha && !names.empty()) names.push_back("alpha");
    if (names.size() != static_cast<std::size_t>(info.channels)) names.clear();
    return names;
}

bool is_channel_choice(std::string_view choice) {
    for (const char* name : {"", "all", "luma", "gray", "red", "green", "blue", "alpha"})
        if (choice == name) return true;
    int number;
    auto [end, error] = std::from_chars(choice.data(), choice.data() + choice.size(), number);
    return error == std::errc() && end == choice.data() + choice.size() && number >= 0 &&
           choice[0] != '+';
}

Selection select_channels(const ImageInfo& info, std::string_view choice, const std::string& name) {
    const std::vector<std::string> names = channel_names(info);
    Selection selection{Selection::Kind::one, 0, info.channels};
    auto refuse = [&](const std::string& what) -> Selection {
        throw Error(name, "no " + what + " (channels: " + listed(info) + ")");
    };
    if (choice == "all" || (choice.empty() && info.channels == 1)) {
        selection.kind = Selection::Kind::all;
        return selection;
    }
    if (choice.empty() || choice == "luma") {
        if (is_colour(names)) {
            selection.kind = Selection::Kind::luma;
            return selection;
        }
        if (!names.empty()) return selection;  // grey: the grey channel, alpha aside
        return refuse(choice.empty() ? "default channel of tuple type \"" +
                                           printable(info.tuple_type) + "\": name one"
                                     : std::string("luma channel"));
    }
    if (int index = index_of(names, choice); index >= 0) {
        selection.channel = index;
        return selection;
    }
    int number = -1;
    std::from_chars(choice.data(), choice.data() + choice.size(), number);
    if (number < 0 || choice[0] < '0' || choice[0] > '9')
        return refuse(std::string(choice) + " channel");
    if (number >= info.channels) return refuse("channel " + std::string(choice));
    selection.channel = number;
    return selection;
}

std::size_t apply(const Selection& selection, std::span<const std::uint8_t> samples,
                  std::uint8_t* out) {
    return apply_to(selection, samples, out);
}

std::size_t apply(const Selection& selection, std::span<const std::uint16_t> samples,
                  std::uint16_t* out) {
    return apply_to(selection, samples, out);
}

std::size_t apply(const Selection& selection, std::span<const double> samples, double* out,
                  SampleType type) {
    return apply_to(selection, samples, out, type);
}

namespace {

// The image of one channel that `selection` takes of `image`.
Image take(const Image& image, const Selection& selection) {
    ImageInfo info = image.info();
    info.channels = 1;
    info.tuple_type = "GRAYSCALE";
    if (image.info().real()) {
        std::vector<double> samples(image.size());
        samples.resize(apply(selection, image.values(), samples.data(), info.sample_type));
        return Image(info, std::move(samples));
    }
    if (image.wide()) {
        std::vector<std::uint16_t> samples(image.size());
        samples.resize(apply(selection, image.samples16(), samples.data()));
        return Image(info, std::move(samples));
    }
    std::vector<std::uint8_t> samples(image.size());
    samples.resize(apply(selection, image.samples8(), samples.data()));
    return Image(info, std::move(samples));
}

}  // namespace

Image luminance(const Image& image) {
    return take(image, select_channels(image.info(), "luma", "image"));
}

Image channel(const Image& image, int index) {
    if (index < 0) throw Error("image", "no channel " + std::to_string(index));
    return take(image, select_channels(image.info(), std::to_string(index), "image"));
}

}  // namespace lumtab
