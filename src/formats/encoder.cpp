#include "formats/encoder.h"

#include <algorithm>
#include <charconv>
#include <type_traits>

#include "formats/netpbm_writer.h"
#include "image/sample_type.h"
#include "io/output_file.h"

namespace lumtab {

Destination destination(OutputFile& out) {
    Destination to{out.name(), [&out](std::span<const char> bytes) { out.write(bytes); }, nullptr};
    if (out.can_rewind())
        to.write_at = [&out](std::uint64_t offset, std::span<const char> bytes) {
            out.write_at(offset, bytes);
        };
    return to;
}

void Encoder::refuse_sample(std::uint64_t index, const std::string& value,
                            const std::string& problem) const {
    const std::uint64_t pixel = index / static_cast<std::uint64_t>(info_.channels);
    const auto width = static_cast<std::uint64_t>(info_.width);
    throw Error(name_, "sample " + value + " at row " + std::to_string(pixel / width + 1) +
                           ", column " + std::to_string(pixel % width + 1) + " " + problem);
}

template <typename Sample>
void Encoder::check(std::span<const Sample> samples) {
    if (samples.size() > info_.samples() - written_)
        throw Error(name_, "more samples than the image's " + std::to_string(info_.samples()));
    if constexpr (std::is_same_v<Sample, double>) {
        if (!info_.real())
            throw Error(name_, "unsigned samples are written in one byte or two, not as doubles");
        const SampleType type = info_.sample_type;
        auto is_held = [type](double v) { return holds(type, v); };
        auto off = std::find_if_not(samples.begin(), samples.end(), is_held);
        if (off != samples.end()) {
            char text[32];
            auto end = std::to_chars(text, text + sizeof text, *off).ptr;
            refuse_sample(written_ + static_cast<std::uint64_t>(off - samples.begin()),
                          std::string(text, end),
                          "is not one of the " + sample_type_name(type) + " samples");
        }
    } else {
        if (info_.real())
            throw Error(name_,
                        sample_type_name(info_.sample_type) + " samples are written as doubles");
        const auto max_value = static_cast<std::uint32_t>(info_.max_value);
        auto is_above = [max_value](Sample s) { return std::uint32_t(s) > max_value; };
        if (!std::any_of(samples.begin(), samples.end(), is_above)) return;
        auto above = std::find_if(samples.begin(), samples.end(), is_above);
        refuse_sample(written_ + static_cast<std::uint64_t>(above - samples.begin()),
                      std::to_string(*above),
                      "is above the maximum value " + std::to_string(info_.max_value));
    }
}

void Encoder::put(std::span<const double>) {
    throw Error(name_, sample_type_name(info_.sample_type) + " samples are not written so");
}

void Encoder::write(std::span<const std::uint8_t> samples) {
    check(samples);
    put(samples);
    written_ += samples.size();
}

void Encoder::write(std::span<const std::uint16_t> samples) {
    check(samples);
    put(samples);
    written_ += samples.size();
}

void Encoder::write(std::span<const double> samples) {
    check(samples);
    put(samples);
    written_ += samples.size();
}

void Encoder::finish() {
    if (written_ != info_.samples())
        throw Error(name_, "the image needs " + std::to_string(info_.samples()) +
                               " samples but only " + std::to_string(written_) + " were written");
    end();
}

std::unique_ptr<Encoder> open_encoder(const ImageInfo& info, const std::string& comment,
                                      Destination to) {
    switch (info.format) {
        case Format::png:
            return open_png_encoder(info, comment, std::move(to));
        case Format::tiff:
            return open_tiff_encoder(info, comment, std::move(to));
        case Format::pfm:
            return open_pfm_encoder(info, std::move(to));
        default:
            return std::make_unique<NetpbmWriter>(info, comment, std::move(to));
    }
}

void check_encoder(const ImageInfo& kind, const std::string& comment, const std::string& name) {
    ImageInfo one = kind;
    one.width = one.height = 1;
    open_encoder(one, comment,
                 {name, [](std::span<const char>) {}, [](std::uint64_t, std::span<const char>) {}});
}

#if !defined(LUMTAB_IMAGE_LIBRARIES)
namespace {

[[noreturn]] void not_written(const Destination& to, const char* format) {
    throw Error(to.name, std::string(format) + " images are not written by this build of lumtab");
}

}  // namespace

std::unique_ptr<Encoder> open_png_encoder(const ImageInfo&, const std::string&, Destination to) {
    not_written(to, "PNG");
}

std::unique_ptr<Encoder> open_tiff_encoder(const ImageInfo&, const std::string&, Destination to) {
    not_written(to, "TIFF");
}
#endif

}  // namespace lumtab
